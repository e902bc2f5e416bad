#include "raw_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace vlm::test {

namespace ipc = vlm::ipc;

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

RawClient::RawClient(const std::string& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
    receiver_ = std::thread([this] { Receive(); });
}

RawClient::~RawClient()
{
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    if (receiver_.joinable())
        receiver_.join();
    if (fd_ >= 0)
        close(fd_);
}

void RawClient::Drop()
{
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
}

void RawClient::Receive()
{
    for (;;) {
        uint8_t raw[ipc::kHeaderBytes];
        if (!ipc::ReceiveAll(fd_, raw))
            break;
        ipc::Header header = ipc::DecodeHeader(raw);
        if (ipc::CheckHeader(header) != ipc::HeaderCheck::Ok)
            break;
        std::vector<uint8_t> payload(header.length);
        if (!payload.empty() && !ipc::ReceiveAll(fd_, payload))
            break;
        ipc::Reply reply;
        if (!ipc::DecodeReply(header, payload, reply))
            break;
        std::lock_guard guard(lock_);
        replies_[reply.id] = std::move(reply);
        ops_[header.id] = header.op;
        arrivals_[header.id] = ++arrived;
        arrived_.notify_all();
    }
    std::lock_guard guard(lock_);
    closed_ = true;
    arrived_.notify_all();
}

uint32_t RawClient::Send(ipc::Op op, uint32_t handle, std::span<const uint8_t> payload, std::optional<uint32_t> id)
{
    uint32_t chosen;
    {
        std::lock_guard guard(lock_);
        chosen = id ? *id : nextId_++;
        replies_.erase(chosen);
    }
    SendBytes(ipc::EncodeMessage(op, chosen, handle, payload));
    return chosen;
}

void RawClient::SendBytes(std::span<const uint8_t> bytes)
{
    std::lock_guard guard(sendLock_);
    if (fd_ >= 0)
        ipc::SendAll(fd_, bytes);
}

std::optional<RawClient::Reply> RawClient::Wait(uint32_t id, std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    if (!arrived_.wait_for(guard, limit, [&] { return replies_.count(id) || closed_; }) || !replies_.count(id))
        return std::nullopt;
    Reply reply = std::move(replies_[id]);
    replies_.erase(id);
    return reply;
}

uint16_t RawClient::ReplyOp(uint32_t id)
{
    std::lock_guard guard(lock_);
    return ops_.count(id) ? ops_[id] : 0;
}

uint64_t RawClient::ArrivalOf(uint32_t id)
{
    std::lock_guard guard(lock_);
    return arrivals_.count(id) ? arrivals_[id] : 0;
}

bool RawClient::Hello()
{
    auto reply = Call(ipc::Op::Hello, 0);
    return reply && reply->status == 0;
}

int32_t RawClient::Open(const std::string& name, uint32_t* handle)
{
    ipc::CreateRequest request;
    request.desiredAccess = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
    request.name = name;
    auto reply = Call(ipc::Op::Create, 0, ipc::EncodeCreate(request));
    if (!reply)
        return -1;
    *handle = reply->handle;
    return reply->status;
}

bool RawClient::WaitClosed(std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, limit, [&] { return closed_; });
}

}  // namespace vlm::test
