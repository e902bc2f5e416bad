#include "datagram_capture.h"

namespace vlm::test {

DatagramCapture& DatagramCapture::Get()
{
    static DatagramCapture capture;
    return capture;
}

void DatagramCapture::Handler(const char* data, int length)
{
    DatagramCapture& self = Get();
    std::function<void()> action;
    {
        std::lock_guard guard(self.m_lock);
        self.m_deliveries.push_back({length, std::string(data, CUDPServer::kReceiveBufferSize), GetCurrentThreadId()});
        action = self.m_action;
    }
    self.m_arrived.notify_all();
    if (action)
        action();
}

void DatagramCapture::Reset()
{
    std::lock_guard guard(m_lock);
    m_deliveries.clear();
    m_action = nullptr;
}

void DatagramCapture::OnDelivery(std::function<void()> action)
{
    std::lock_guard guard(m_lock);
    m_action = std::move(action);
}

bool DatagramCapture::WaitForCount(size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock guard(m_lock);
    return m_arrived.wait_for(guard, limit, [&] { return m_deliveries.size() >= count; });
}

std::vector<Delivery> DatagramCapture::Deliveries()
{
    std::lock_guard guard(m_lock);
    return m_deliveries;
}

}  // namespace vlm::test
