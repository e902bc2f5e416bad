#include "posix_support.h"

#include <QtCore/QtGlobal>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace vlm::test {

UdpPeer::UdpPeer()
{
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(48781);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        qWarning("the printer's port 48781 is taken");
        close(m_socket);
        m_socket = -1;
    }
}

UdpPeer::~UdpPeer()
{
    if (m_socket >= 0)
        close(m_socket);
}

QByteArray UdpPeer::Receive(int timeoutMs)
{
    pollfd ready{m_socket, POLLIN, 0};
    if (m_socket < 0 || poll(&ready, 1, timeoutMs) != 1)
        return {};
    QByteArray data(4096, '\0');
    sockaddr_in sender{};
    socklen_t size = sizeof sender;
    ssize_t length = recvfrom(m_socket, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sender), &size);
    if (length < 0)
        return {};
    m_sender = QByteArray(reinterpret_cast<const char*>(&sender), sizeof sender);
    data.resize(length);
    if (data.isNull())
        data = QByteArray("");  // an empty datagram is still one
    return data;
}

bool UdpPeer::Reply(const QByteArray& data)
{
    if (m_sender.size() != sizeof(sockaddr_in))
        return false;
    return sendto(m_socket, data.constData(), data.size(), 0, reinterpret_cast<const sockaddr*>(m_sender.constData()),
                   sizeof(sockaddr_in)) == data.size();
}

PortHolder::PortHolder(int port)
{
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(m_socket);
        m_socket = -1;
    }
}

PortHolder::~PortHolder()
{
    if (m_socket >= 0)
        close(m_socket);
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_saved = dup(STDOUT_FILENO);
    dup2(m_pipe[1], STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    Take();
    for (int fd : {m_pipe[0], m_pipe[1], m_saved})
        if (fd >= 0)
            close(fd);
}

QByteArray StdoutCapture::Take()
{
    std::fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    QByteArray taken;
    char buffer[4096];
    for (int reads = 0; reads < 64 && m_pipe[0] >= 0; ++reads) {
        ssize_t got = read(m_pipe[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        taken.append(buffer, got);
    }
    return taken;
}

}  // namespace vlm::test
