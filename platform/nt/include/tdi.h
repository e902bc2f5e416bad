/*
 * Transport Driver Interface: the records a TDI client and a transport
 * exchange (transport addresses, connection information) and the flag
 * values they carry, with the DDK's names and layouts. The kernel-mode
 * requests and event handlers are in tdikrnl.h.
 */
#pragma once

#include "ntdef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TDI_CURRENT_MAJOR_VERSION (2)
#define TDI_CURRENT_MINOR_VERSION (0)
#define TDI_CURRENT_VERSION ((TDI_CURRENT_MINOR_VERSION << 8) | TDI_CURRENT_MAJOR_VERSION)

typedef LONG TDI_STATUS;
typedef PVOID CONNECTION_CONTEXT;

/* ------------------------------------------------------------------ */
/* Transport addresses                                                 */
/* ------------------------------------------------------------------ */

/* Addresses travel byte-packed: TDI_ADDRESS_IP is 14 bytes and a
 * TA_IP_ADDRESS 22, whatever the compiler's natural alignment. */
#pragma pack(push, 1)

typedef struct _TA_ADDRESS {
    USHORT AddressLength; /* bytes of Address */
    USHORT AddressType;   /* TDI_ADDRESS_TYPE_* */
    UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
    LONG TAAddressCount;
    TA_ADDRESS Address[1];
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

/* Port and address in network byte order. */
typedef struct _TDI_ADDRESS_IP {
    USHORT sin_port;
    ULONG in_addr;
    UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

typedef struct _TA_ADDRESS_IP {
    LONG TAAddressCount;
    struct _AddrIp {
        USHORT AddressLength;
        USHORT AddressType;
        TDI_ADDRESS_IP Address[1];
    } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;

#pragma pack(pop)

#define TDI_ADDRESS_LENGTH_IP sizeof(TDI_ADDRESS_IP)

#define TDI_ADDRESS_TYPE_UNSPEC ((USHORT)0)
#define TDI_ADDRESS_TYPE_UNIX ((USHORT)1)
#define TDI_ADDRESS_TYPE_IP ((USHORT)2)
#define TDI_ADDRESS_TYPE_IP6 ((USHORT)23)

/* ------------------------------------------------------------------ */
/* Opening addresses and connection endpoints                          */
/* ------------------------------------------------------------------ */

/* Names of the extended attribute that a create of the transport device
 * carries; the lengths exclude the terminating NUL. */
#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

/* What a file object opened on a transport stands for (its FsContext2). */
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

/* ------------------------------------------------------------------ */
/* Connection information                                              */
/* ------------------------------------------------------------------ */

typedef struct _TDI_CONNECTION_INFORMATION {
    LONG UserDataLength;
    PVOID UserData;
    LONG OptionsLength;
    PVOID Options;
    LONG RemoteAddressLength;
    PVOID RemoteAddress; /* a TRANSPORT_ADDRESS */
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

/* ------------------------------------------------------------------ */
/* Request flags                                                       */
/* ------------------------------------------------------------------ */

/* Receive indications and receive requests. */
#define TDI_RECEIVE_BROADCAST 0x00000004
#define TDI_RECEIVE_MULTICAST 0x00000008
#define TDI_RECEIVE_PARTIAL 0x00000010
#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_RECEIVE_EXPEDITED 0x00000040
#define TDI_RECEIVE_PEEK 0x00000080
#define TDI_RECEIVE_NO_RESPONSE_EXP 0x00000100
#define TDI_RECEIVE_COPY_LOOKAHEAD 0x00000200
#define TDI_RECEIVE_ENTIRE_MESSAGE 0x00000400
#define TDI_RECEIVE_AT_DISPATCH_LEVEL 0x00000800
#define TDI_RECEIVE_CONTROL_INFO 0x00001000

/* Send requests. */
#define TDI_SEND_EXPEDITED 0x0020
#define TDI_SEND_PARTIAL 0x0040
#define TDI_SEND_NO_RESPONSE_EXPECTED 0x0080
#define TDI_SEND_NON_BLOCKING 0x0100
#define TDI_SEND_AND_DISCONNECT 0x0200

/* Disconnect requests and disconnect indications. */
#define TDI_DISCONNECT_WAIT 0x0001
#define TDI_DISCONNECT_ABORT 0x0002
#define TDI_DISCONNECT_RELEASE 0x0004

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(TDI_ADDRESS_IP) == 14, "TDI_ADDRESS_IP is byte-packed");
static_assert(sizeof(TA_IP_ADDRESS) == 22, "TA_IP_ADDRESS is byte-packed");
#endif
