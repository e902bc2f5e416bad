// What tests do with the system's own sockets and descriptors: the
// printer's side of UDP, a port held by another program, the standard
// output of the test itself. Kept apart from the Win32 headers, whose
// socket names are Winsock's.
#pragma once

#include <QtCore/QByteArray>

namespace vlm::test {

// A printer's UDP side scripted by the test: bound to port 48781 on all
// interfaces, it takes the tool's broadcasts and answers their sender.
// Only inside a private network namespace.
class UdpPeer {
public:
    UdpPeer();
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool IsOpen() const { return m_socket >= 0; }
    // The next datagram, or a null array when none came within the time.
    QByteArray Receive(int timeoutMs = 5000);
    // Answers the sender of the last datagram received.
    bool Reply(const QByteArray& data);

private:
    int m_socket = -1;
    QByteArray m_sender;  // a sockaddr_in
};

// Holds a UDP port on all interfaces without sharing it, as another
// program that took it first does.
class PortHolder {
public:
    explicit PortHolder(int port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool IsHeld() const { return m_socket >= 0; }

private:
    int m_socket = -1;
};

// Takes this process's standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // What was written so far; standard output is the process's own again.
    QByteArray Take();

private:
    int m_saved = -1;
    int m_pipe[2] = {-1, -1};
};

}  // namespace vlm::test
