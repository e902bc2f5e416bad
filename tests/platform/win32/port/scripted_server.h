// A vlmhost stand-in for the client's tests: listens on a root's socket
// and runs a scripted session per connection, on its own thread, with every
// wait bounded.
#pragma once

#include "vlm/ipc/protocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vlm::test {

using vlm::ipc::Op;

struct Request {
    vlm::ipc::Header header;
    std::vector<uint8_t> payload;
};

// One side of an accepted connection, as the server sees it.
class ServerSide {
public:
    explicit ServerSide(int fd) : fd_(fd) { }
    ~ServerSide()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    bool Receive(Request& out)
    {
        uint8_t raw[vlm::ipc::kHeaderBytes];
        if (!WaitReadable() || !vlm::ipc::ReceiveAll(fd_, raw))
            return false;
        out.header = vlm::ipc::DecodeHeader(std::span<const uint8_t, vlm::ipc::kHeaderBytes>(raw));
        out.payload.resize(out.header.length);
        return out.payload.empty() || vlm::ipc::ReceiveAll(fd_, out.payload);
    }

    bool Reply(const Request& request, int32_t status, uint64_t information, std::vector<uint8_t> data = {})
    {
        vlm::ipc::Reply reply;
        reply.id = request.header.id;
        reply.handle = request.header.handle;
        reply.status = status;
        reply.information = information;
        reply.data = std::move(data);
        return vlm::ipc::SendAll(fd_, vlm::ipc::EncodeReply(Op(request.header.op), reply));
    }

    // Says the connection is retired, as vlmhost does to an idle one.
    bool Goodbye()
    {
        vlm::ipc::Reply reply;
        reply.status = vlm::ipc::kStatusTimeout;
        return vlm::ipc::SendAll(fd_, vlm::ipc::EncodeReply(Op::Goodbye, reply));
    }

    // Reads Hello and accepts it.
    bool Greet()
    {
        Request hello;
        return Receive(hello) && hello.header.op == uint16_t(Op::Hello) && Reply(hello, 0, 0);
    }

    void Close()
    {
        close(fd_);
        fd_ = -1;
    }

private:
    bool WaitReadable()
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 5000) == 1;
    }

    int fd_;
};

// Listens on the root's socket and runs `session` for each of the first
// `connections` clients, one after the other, on its own thread.
class ScriptedServer {
public:
    ScriptedServer(const std::string& root, int connections, std::function<void(ServerSide&, int)> session)
    {
        EXPECT_EQ(pipe2(stop_, O_CLOEXEC), 0);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = vlm::ipc::SocketPath(root);
        strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << strerror(errno);
        EXPECT_EQ(listen(listener_, 8), 0);
        thread_ = std::thread([this, connections, session] {
            for (int n = 0; n < connections; ++n) {
                pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
                if (poll(p, 2, 5000) <= 0 || !(p[0].revents & POLLIN))
                    return;
                ServerSide side(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
                session(side, n);
            }
        });
    }
    // A client that never came does not hold the test up: the accept
    // stops waiting. A session under way runs to its end.
    ~ScriptedServer()
    {
        EXPECT_EQ(write(stop_[1], "x", 1), 1);
        thread_.join();
        close(listener_);
        close(stop_[0]);
        close(stop_[1]);
    }

private:
    int listener_;
    int stop_[2];  // written to when the test is done with the server
    std::thread thread_;
};

}  // namespace vlm::test
