// A client of vlmhost's IPC socket that speaks the wire protocol byte by
// byte, so that tests can send what a well-behaved client sends and what
// no client should. Replies are collected by a receiver thread and picked
// up by id, so requests may pend while others come and go.
#pragma once

#include "vlm/ipc/protocol.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vlm::test {

class RawClient {
public:
    using Reply = vlm::ipc::Reply;

    // Connects; connected() tells whether it did.
    explicit RawClient(const std::string& socketPath);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }

    // Sends one request with a fresh id (or the one given) and returns it.
    uint32_t Send(vlm::ipc::Op op, uint32_t handle, std::span<const uint8_t> payload = {},
            std::optional<uint32_t> id = std::nullopt);
    void SendBytes(std::span<const uint8_t> bytes);
    // The reply to `id`, waiting at most `limit`.
    std::optional<Reply> Wait(uint32_t id, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::optional<Reply> Call(vlm::ipc::Op op, uint32_t handle, std::span<const uint8_t> payload = {},
            std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        return Wait(Send(op, handle, payload), limit);
    }
    // The op (with its reply bit) the reply to `id` carried, and its place
    // in the order replies arrived (1 for the first); 0 if none came.
    uint16_t ReplyOp(uint32_t id);
    uint64_t ArrivalOf(uint32_t id);

    bool Hello();
    // Create on a name; the status, and *handle on success.
    int32_t Open(const std::string& name, uint32_t* handle);

    // Whether the server closed the connection (within `limit`).
    bool WaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Closes our side at once, as a client that dies does.
    void Drop();

private:
    void Receive();

    int fd_ = -1;
    std::thread receiver_;
    std::mutex lock_;  // guards everything below; pairs with arrived_
    std::condition_variable arrived_;
    std::map<uint32_t, Reply> replies_;
    std::map<uint32_t, uint16_t> ops_;
    std::map<uint32_t, uint64_t> arrivals_;
    uint64_t arrived = 0;
    bool closed_ = false;
    uint32_t nextId_ = 1;
    std::mutex sendLock_;  // keeps each message whole
};

std::vector<uint8_t> Bytes(const std::string& text);
std::string Text(const std::vector<uint8_t>& bytes);

}  // namespace vlm::test
