// The tool's endpoint towards printers: one UDP socket bound to a local
// port on all interfaces, broadcasting to a remote port, and one receive
// thread that hands every datagram arriving on the local port to the
// owner's handler. A datagram longer than kReceiveBufferSize is dropped
// unseen, and the thread receives on.
//
//   state      socket             receive thread   entered by
//   Closed     invalid            none             construction, Close, socket failure
//   Listening  bound              running          Open returning true
//   Unbound    valid, not bound   none             bind failure in Open
//   Deaf       bound              ended            a failed receive while Listening
//
// Send works in every state but Closed; only Close leaves Unbound and Deaf;
// Open succeeds only from Closed. Every failure the endpoint reports is a
// message box (no owner, the system's caption, MB_OK) on the thread that
// hit it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

// Called on the receive thread once per datagram: its bytes, followed by
// zeros up to CUDPServer::kReceiveBufferSize, and its length. No context
// argument: an owner reaches its dialog through a pointer of its own.
typedef void (*ReceiveHandler)(const char* data, int length);

class CUDPServer {
public:
    static constexpr int kReceiveBufferSize = 2000;
    static constexpr int kDefaultLocalPort = 48780;
    static constexpr int kDefaultRemotePort = 48781;
    static constexpr DWORD kCloseWaitMs = 3000;

    CUDPServer() = default;
    // Closes the endpoint and waits for the receive thread to be gone: the
    // thread works on these members.
    virtual ~CUDPServer();
    CUDPServer(const CUDPServer&) = delete;
    CUDPServer& operator=(const CUDPServer&) = delete;

    // Binds localPort on all interfaces and starts the receive thread. False
    // when the endpoint is not closed (nothing changes), while a receive
    // thread is still recorded, or when the socket cannot be made or bound
    // ("socket GetError : %d", "bind GetError : %d"). After a bind failure
    // the socket stays: Send still uses it and nothing is received.
    bool Open(int localPort, int remotePort, const char* broadcastAddress);
    // Broadcasts one datagram to 255.255.255.255 at the remote port. The
    // number of bytes sent, or -1 after "SendError : %d".
    int Send(const char* data, int length);
    // Closes the socket, which ends the receive thread, and waits up to
    // kCloseWaitMs for the thread's end. Harmless on a closed endpoint. On
    // the receive thread itself (from a handler) it closes the socket and
    // returns at once; the thread ends when the handler returns.
    void Close();

    // Set before Open; a handler set while the thread runs applies from the
    // next datagram on.
    void SetReceiveHandler(ReceiveHandler handler) { m_receiveHandler = handler; }

    // The endpoint's state, in the order of its data model. The thread
    // reads the socket and the handler and ends by releasing its own
    // handle while the dialog thread may close the endpoint, hence atomics.
    std::atomic<SOCKET> m_socket{INVALID_SOCKET};
    std::atomic<ReceiveHandler> m_receiveHandler{nullptr};
    int m_localPort = kDefaultLocalPort;
    int m_remotePort = kDefaultRemotePort;
    const char* m_broadcastAddress = "255.255.255.255";
    std::atomic<HANDLE> m_receiveThread{nullptr};
    sockaddr_in m_address{};

private:
    static DWORD WINAPI ReceiveThread(LPVOID parameter);
    void ReceiveLoop();
    void CloseSocket();
    // Waits up to waitMs for the receive thread, whose handle the caller
    // took out of m_receiveThread, to end; then releases the handle. The
    // handle is released exactly once, by whoever takes it out: Close, or
    // the thread itself as its loop ends. A thread still running when the
    // wait runs out is recorded again.
    void ReleaseReceiveThread(HANDLE thread, DWORD waitMs);
    bool OnReceiveThread() const;
};
