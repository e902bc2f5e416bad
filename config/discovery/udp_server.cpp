#include "udp_server.h"

#include <winuser.h>

#include <cstdio>
#include <cstring>

namespace {

// Every message of the endpoint: the Winsock error in the text, no owner,
// the system's caption. The number is taken before the box is shown, which
// may change the thread's last error.
void ReportError(const char* format, int error)
{
    char text[100];
    std::snprintf(text, sizeof text, format, error);
    MessageBoxA(nullptr, text, nullptr, MB_OK);
}

}  // namespace

CUDPServer::~CUDPServer()
{
    Close();
    // Close gives up on a thread still inside a handler after its wait;
    // the members must outlive it, so the destructor waits on.
    if (!OnReceiveThread())
        if (HANDLE thread = m_receiveThread.exchange(nullptr))
            ReleaseReceiveThread(thread, INFINITE);
}

bool CUDPServer::Open(int localPort, int remotePort, const char* broadcastAddress)
{
    if (m_socket != INVALID_SOCKET)
        return false;
    m_localPort = localPort;
    m_remotePort = remotePort;
    m_broadcastAddress = broadcastAddress;
    if (m_receiveThread != nullptr)
        return false;

    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        ReportError("socket GetError : %d", WSAGetLastError());
        return false;
    }
    m_socket = s;

    m_address = {};
    m_address.sin_family = AF_INET;
    m_address.sin_addr.s_addr = htonl(INADDR_ANY);
    m_address.sin_port = htons(static_cast<u_short>(m_localPort));
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    if (bind(s, reinterpret_cast<const sockaddr*>(&m_address), sizeof m_address) == SOCKET_ERROR) {
        // Unbound: the socket stays for Send, and only Close removes it.
        ReportError("bind GetError : %d", WSAGetLastError());
        return false;
    }

    // Should the thread end before its handle is recorded (a network
    // error, at once), it finds nothing to release, and Close
    // releases the handle recorded here.
    m_receiveThread = CreateThread(nullptr, 0, ReceiveThread, this, 0, nullptr);
    return true;
}

int CUDPServer::Send(const char* data, int length)
{
    const SOCKET s = m_socket;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    destination.sin_port = htons(static_cast<u_short>(m_remotePort));
    int sent = sendto(s, data, length, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent == SOCKET_ERROR) {
        ReportError("SendError : %d", WSAGetLastError());
        return -1;
    }
    return sent;
}

void CUDPServer::Close()
{
    // A handler closing its own endpoint: the thread cannot wait for its own
    // end; it leaves its loop once the handler returns and releases itself.
    if (OnReceiveThread()) {
        CloseSocket();
        return;
    }
    // The handle is taken before the socket is closed, so that the thread,
    // woken by the closing, finds nothing to release and this waits for its
    // very end: after Close the thread is gone, not only done with us.
    HANDLE thread = m_receiveThread.exchange(nullptr);
    CloseSocket();
    if (thread != nullptr)
        ReleaseReceiveThread(thread, kCloseWaitMs);
}

void CUDPServer::CloseSocket()
{
    // Closing the socket fails the receive the thread is blocked in.
    SOCKET s = m_socket.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET)
        closesocket(s);
}

bool CUDPServer::OnReceiveThread() const
{
    HANDLE thread = m_receiveThread;
    return thread != nullptr && GetThreadId(thread) == GetCurrentThreadId();
}

void CUDPServer::ReleaseReceiveThread(HANDLE thread, DWORD waitMs)
{
    if (WaitForSingleObject(thread, waitMs) == WAIT_TIMEOUT) {
        // Still inside a handler, on these members: it stays recorded, so
        // that Open refuses and a later Close or the destructor waits again.
        // Its own release at its end takes it from here.
        m_receiveThread = thread;
        return;
    }
    CloseHandle(thread);
}

DWORD WINAPI CUDPServer::ReceiveThread(LPVOID parameter)
{
    static_cast<CUDPServer*>(parameter)->ReceiveLoop();
    return 0;
}

void CUDPServer::ReceiveLoop()
{
    char buffer[kReceiveBufferSize];
    while (m_socket != INVALID_SOCKET) {
        // Zeroed for every datagram: the handler sees zeros after its bytes.
        std::memset(buffer, 0, sizeof buffer);
        int received = recvfrom(m_socket, buffer, sizeof buffer, 0, nullptr, nullptr);
        if (received == SOCKET_ERROR) {
            // A datagram longer than the buffer is no answer of a printer's:
            // it is dropped, silently, and the loop goes on, so that one
            // such sender on the segment cannot hide the printers answering
            // after it.
            if (WSAGetLastError() == WSAEMSGSIZE)
                continue;
            // Closed, or a network error: the endpoint is deaf from here
            // until it is closed and opened again.
            break;
        }
        if (ReceiveHandler handler = m_receiveHandler)
            handler(buffer, received);
    }
    // The last touch of the endpoint: whoever takes the handle releases it.
    HANDLE own = m_receiveThread.exchange(nullptr);
    if (own != nullptr)
        CloseHandle(own);
}
