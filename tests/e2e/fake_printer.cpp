#include "fake_printer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vlm::test {

FakePrinter::FakePrinter(Options options, const char* address) : options_(options), address_(address)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (options_.receiveBuffer)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer, sizeof options_.receiveBuffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener_, options_.backlog) != 0)
        throw std::runtime_error("FakePrinter: cannot listen");
    socklen_t len = sizeof sa;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    if (pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("FakePrinter: pipe");
    thread_ = std::thread([this] { Run(); });
}

FakePrinter::~FakePrinter()
{
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    if (connection_ >= 0)
        close(connection_);
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

uint32_t FakePrinter::addressNetworkOrder() const
{
    return inet_addr(address_.c_str());
}

// One thread: accepts, reads (unless told not to), and notices the
// driver's release. Every wait is a poll that includes the wake pipe, so
// the destructor ends it.
void FakePrinter::Run()
{
    bool watching = false;  // the current connection is still polled
    for (;;) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {-1, 0, 0}};
        {
            std::lock_guard guard(lock_);
            if (watching && connection_ >= 0) {
                fds[2].fd = connection_;
                fds[2].events = short(options_.read ? POLLIN | POLLRDHUP : POLLRDHUP);
            }
        }
        if (poll(fds, 3, 1000) < 0 || fds[0].revents)
            return;
        std::lock_guard guard(lock_);
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                if (connection_ >= 0)
                    close(connection_);
                connection_ = fd;
                released_ = false;
                watching = true;
                ++connections_;
            }
        }
        if (fds[2].fd >= 0 && fds[2].fd == connection_ && fds[2].revents) {
            char buffer[65536];
            ssize_t n = 0;
            if (options_.read)
                n = recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received_.append(buffer, size_t(n));
            } else if (n == 0 || !options_.read || (fds[2].revents & (POLLHUP | POLLERR))) {
                released_ = true;
                watching = false;
                if (options_.onRelease == OnRelease::Close) {
                    close(connection_);
                    connection_ = -1;
                }
            }
        }
        changed_.notify_all();
    }
}

bool FakePrinter::WaitForBytes(size_t bytes, std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return received_.size() >= bytes; });
}

bool FakePrinter::WaitForConnections(int connections, std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return connections_ >= connections; });
}

bool FakePrinter::WaitForRelease(std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return released_; });
}

std::string FakePrinter::Received()
{
    std::lock_guard guard(lock_);
    return received_;
}

int FakePrinter::Connections()
{
    std::lock_guard guard(lock_);
    return connections_;
}

void FakePrinter::Send(const std::string& bytes)
{
    std::lock_guard guard(lock_);
    if (connection_ >= 0)
        (void)!send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakePrinter::CloseConnection()
{
    std::lock_guard guard(lock_);
    if (connection_ >= 0) {
        shutdown(connection_, SHUT_RDWR);
        close(connection_);
        connection_ = -1;
    }
}

void FakePrinter::ResetConnection()
{
    std::lock_guard guard(lock_);
    if (connection_ >= 0) {
        linger l{1, 0};
        setsockopt(connection_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(connection_);
        connection_ = -1;
    }
}

}  // namespace vlm::test
