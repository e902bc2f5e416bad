// The sockets behind winsock2.h, in terms that need neither Winsock's
// headers nor the system's: the Winsock side (winsock.cpp) checks the
// arguments in Windows' terms; the system side (sockets.cpp) keeps the
// table of SOCKETs and makes the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vlm::win32::net {

// The value of a SOCKET.
using SocketValue = uintptr_t;

// An IPv4 address and port, both in network byte order as sockaddr_in
// holds them.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

enum class Option { ReuseAddress, Broadcast };

// Each returns 0 or the Winsock error number of the failure.
int Startup();
// WSANOTINITIALISED without a Startup; the last one closes every socket.
int Cleanup();
int CheckStarted();
// WSAENOTSOCK for a value that names no open socket.
int CheckSocket(SocketValue socket);

int CreateDatagram(SocketValue* socket);
int Bind(SocketValue socket, const Endpoint& local);
int SetOption(SocketValue socket, Option option, bool on);
// WSAEINVAL while the socket is bound to nothing.
int LocalEndpoint(SocketValue socket, Endpoint* local);
int SendTo(SocketValue socket, std::span<const std::byte> data, const Endpoint& to, size_t* sent);
// Blocks for one datagram; copies what fits into data. WSAEMSGSIZE, with
// *received = data.size(), when the datagram was longer: the rest is gone.
// WSAEINTR when the socket is closed meanwhile. With peek the datagram
// stays queued.
int ReceiveFrom(SocketValue socket, std::span<std::byte> data, bool peek, Endpoint* from, size_t* received);
int Close(SocketValue socket);

// Sockets open in the process.
size_t OpenSocketCount();

}  // namespace vlm::win32::net
