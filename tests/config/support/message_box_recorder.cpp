#include "message_box_recorder.h"

#include <winuser.h>

namespace vlm::test {

MessageBoxRecorder::MessageBoxRecorder()
{
    m_previous = win32::SetMessageBoxPresenter([this](const win32::MessageBoxRequest& box) { return Present(box); });
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    win32::SetMessageBoxPresenter(std::move(m_previous));
}

int MessageBoxRecorder::Present(const win32::MessageBoxRequest& box)
{
    std::lock_guard guard(m_lock);
    m_boxes.push_back(box);
    if ((box.type & MB_TYPEMASK) == MB_OK && m_answers.empty())
        return IDOK;
    if (m_answers.empty()) {
        ++m_unscripted;
        return 0;
    }
    int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void MessageBoxRecorder::Answer(int id)
{
    std::lock_guard guard(m_lock);
    m_answers.push_back(id);
}

std::vector<win32::MessageBoxRequest> MessageBoxRecorder::Boxes() const
{
    std::lock_guard guard(m_lock);
    return m_boxes;
}

std::vector<std::string> MessageBoxRecorder::Texts() const
{
    std::lock_guard guard(m_lock);
    std::vector<std::string> texts;
    texts.reserve(m_boxes.size());
    for (const auto& box : m_boxes)
        texts.push_back(box.text);
    return texts;
}

size_t MessageBoxRecorder::Count() const
{
    std::lock_guard guard(m_lock);
    return m_boxes.size();
}

size_t MessageBoxRecorder::Unscripted() const
{
    std::lock_guard guard(m_lock);
    return m_unscripted;
}

void MessageBoxRecorder::Clear()
{
    std::lock_guard guard(m_lock);
    m_boxes.clear();
    m_answers.clear();
    m_unscripted = 0;
}

}  // namespace vlm::test
