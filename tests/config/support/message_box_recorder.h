// A presenter for tests: records every message box (text, caption, type,
// owner) and answers questions from a script set before the action that
// asks, so that no test blocks on a modal box or clicks one on a timer.
#pragma once

#include <vlm/msgbox.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vlm::test {

class MessageBoxRecorder {
public:
    // Installs itself as the presenter; the destructor puts back the one it
    // replaced.
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    // The answer to the next box that asks a question (anything but MB_OK).
    // Plain MB_OK boxes are answered IDOK without a script; a question with
    // no scripted answer is answered 0 and counted as unscripted.
    void Answer(int id);

    std::vector<win32::MessageBoxRequest> Boxes() const;
    std::vector<std::string> Texts() const;
    size_t Count() const;
    size_t Unscripted() const;
    void Clear();

private:
    int Present(const win32::MessageBoxRequest& box);

    mutable std::mutex m_lock;  // guards every member below
    std::vector<win32::MessageBoxRequest> m_boxes;
    std::deque<int> m_answers;
    size_t m_unscripted = 0;
    win32::MessageBoxPresenter m_previous;
};

}  // namespace vlm::test
