// A TCP listener on an ephemeral loopback port, the printer's side of the
// test and fuzz fixtures. Header-only and without GoogleTest, so the fuzz
// targets use it too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vlm::test {

// The listening socket, its port in *port; -1 (nothing left open) when
// the system refuses.
inline int ListenOnLoopback(uint16_t* port, int backlog = 4)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace vlm::test
