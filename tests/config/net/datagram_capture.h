// What reached a CUDPServer's handler: the handler is a plain function, so
// the capture is the process's one, reset by each test.
#pragma once

#include <udp_server.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vlm::test {

struct Delivery {
    int length = 0;
    std::string buffer;  // all CUDPServer::kReceiveBufferSize bytes the handler saw
    DWORD threadId = 0;
};

class DatagramCapture {
public:
    static DatagramCapture& Get();

    // The ReceiveHandler to give an endpoint.
    static void Handler(const char* data, int length);

    void Reset();
    // Runs on the receive thread inside the handler, after the delivery is
    // recorded.
    void OnDelivery(std::function<void()> action);
    // Waits (bounded) until at least `count` deliveries are in.
    bool WaitForCount(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<Delivery> Deliveries();

private:
    std::mutex m_lock;                  // guards every member below
    std::condition_variable m_arrived;  // signalled by Handler
    std::vector<Delivery> m_deliveries;
    std::function<void()> m_action;
};

}  // namespace vlm::test
