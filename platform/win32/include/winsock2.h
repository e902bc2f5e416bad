// Windows Sockets 2, the IPv4 datagram subset: start-up, UDP sockets that
// bind, broadcast, send and receive, and the byte-order and address
// helpers, with Winsock's constants, structures and error numbers.
//
// A SOCKET is a handle, not a descriptor: a closed socket's value never
// names another socket, and closesocket wakes a thread blocked in recvfrom
// on it, whose call then fails with WSAEINTR.
//
// The functions carry C++ linkage. Their BSD names (socket, bind, sendto,
// ...) are also the C library's, with other types; as C symbols they would
// replace the library's for the whole program. Consequently a source file
// sees either this header or the system's socket headers, never both.
#pragma once

#ifndef __cplusplus
#error "winsock2.h of this platform is for C++ sources"
#endif

#include "windef.h"
#include "winerror.h"

#define WSAAPI

typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
// As the C library defines it (64 bits here): the structures below hold
// their addresses in ULONG, 32 bits, as on Windows.
typedef unsigned long u_long;

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET

#define SOCK_STREAM 1
#define SOCK_DGRAM 2

#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_BROADCAST 0x0020

#define MSG_OOB 0x1
#define MSG_PEEK 0x2

#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_BROADCAST ((ULONG)0xffffffff)
#define INADDR_NONE 0xffffffff

typedef struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
} IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
#define s_addr S_un.S_addr

typedef USHORT ADDRESS_FAMILY;

typedef struct sockaddr {
    ADDRESS_FAMILY sa_family;
    CHAR sa_data[14];
} SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

typedef struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    USHORT sin_port;   // network byte order
    IN_ADDR sin_addr;  // network byte order
    CHAR sin_zero[8];
} SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// The 64-bit layout: the two counts and the vendor pointer come first.
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

// Versions 1.0 to 2.2 are accepted; wVersion is the lower of the one asked
// for and 2.2. Each successful call needs its WSACleanup; the last one
// closes every socket still open. Returns 0 or the error number itself.
int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSAAPI WSACleanup(void);

// The calling thread's last error: the same slot as GetLastError.
int WSAAPI WSAGetLastError(void);
void WSAAPI WSASetLastError(int iError);

// AF_INET with SOCK_DGRAM (protocol 0 or IPPROTO_UDP) only; a stream
// socket is refused with WSAESOCKTNOSUPPORT.
SOCKET WSAAPI socket(int af, int type, int protocol);
int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen);
// SOL_SOCKET with SO_REUSEADDR or SO_BROADCAST, an int-sized value.
int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen);
// One datagram, whole, or SOCKET_ERROR; flags must be 0.
int WSAAPI sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen);
// Blocks for one datagram. One longer than len fills the buffer with its
// first len bytes and fails with WSAEMSGSIZE; the rest is lost. An unbound
// socket fails with WSAEINVAL; flags must be 0.
int WSAAPI recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen);
int WSAAPI closesocket(SOCKET s);

// "a.b.c.d" and the shorter forms, each part decimal, octal (0...) or
// hexadecimal (0x...); INADDR_NONE for anything else.
unsigned long WSAAPI inet_addr(const char* cp);

namespace vlm::win32::net {
constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
}

inline u_short WSAAPI htons(u_short hostshort)
{
    return vlm::win32::net::kLittleEndianHost ? __builtin_bswap16(hostshort) : hostshort;
}

inline u_long WSAAPI htonl(u_long hostlong)
{
    // u_long is wider than Winsock's; the value is Winsock's 32 bits.
    const uint32_t value = static_cast<uint32_t>(hostlong);
    return vlm::win32::net::kLittleEndianHost ? __builtin_bswap32(value) : value;
}

inline u_short WSAAPI ntohs(u_short netshort)
{
    return htons(netshort);
}

inline u_long WSAAPI ntohl(u_long netlong)
{
    return htonl(netlong);
}
