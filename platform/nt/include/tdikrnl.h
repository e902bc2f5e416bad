/*
 * Transport Driver Interface for kernel-mode clients: the internal
 * device-control requests a client sends to a transport's device, their
 * parameter blocks, the event handlers a transport calls, and the
 * TdiBuild* helpers that fill a request's stack location.
 */
#pragma once

#include "tdi.h"
#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Requests: IRP_MJ_INTERNAL_DEVICE_CONTROL minor codes                */
/* ------------------------------------------------------------------ */

#define TDI_ASSOCIATE_ADDRESS (0x01)
#define TDI_DISASSOCIATE_ADDRESS (0x02)
#define TDI_CONNECT (0x03)
#define TDI_LISTEN (0x04)
#define TDI_ACCEPT (0x05)
#define TDI_DISCONNECT (0x06)
#define TDI_SEND (0x07)
#define TDI_RECEIVE (0x08)
#define TDI_SEND_DATAGRAM (0x09)
#define TDI_RECEIVE_DATAGRAM (0x0A)
#define TDI_SET_EVENT_HANDLER (0x0B)
#define TDI_QUERY_INFORMATION (0x0C)
#define TDI_SET_INFORMATION (0x0D)
#define TDI_ACTION (0x0E)
#define TDI_DIRECT_SEND (0x27)
#define TDI_DIRECT_SEND_DATAGRAM (0x29)

/* Parameter blocks: each overlays IrpSp->Parameters of the request. */

/* Connect, disconnect, listen and accept. RequestSpecific of a connect or
 * disconnect points at a LARGE_INTEGER time-out (negative: relative, in
 * 100 ns units) or is NULL. */
typedef struct _TDI_REQUEST_KERNEL {
    ULONG_PTR RequestFlags;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
    PVOID RequestSpecific;
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;

typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_LISTEN, *PTDI_REQUEST_KERNEL_LISTEN;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_ACCEPT, *PTDI_REQUEST_KERNEL_ACCEPT;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
    HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_SET_EVENT {
    LONG EventType;
    PVOID EventHandler;
    PVOID EventContext;
} TDI_REQUEST_KERNEL_SET_EVENT, *PTDI_REQUEST_KERNEL_SET_EVENT;

/* The data of a send or receive is described by Irp->MdlAddress. */
typedef struct _TDI_REQUEST_KERNEL_SEND {
    ULONG SendLength;
    ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
    ULONG ReceiveLength;
    ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

/* ------------------------------------------------------------------ */
/* Event handlers                                                      */
/* ------------------------------------------------------------------ */

#define TDI_EVENT_CONNECT ((USHORT)0)
#define TDI_EVENT_DISCONNECT ((USHORT)1)
#define TDI_EVENT_ERROR ((USHORT)2)
#define TDI_EVENT_RECEIVE ((USHORT)3)
#define TDI_EVENT_RECEIVE_DATAGRAM ((USHORT)4)
#define TDI_EVENT_RECEIVE_EXPEDITED ((USHORT)5)
#define TDI_EVENT_SEND_POSSIBLE ((USHORT)6)
#define TDI_EVENT_CHAINED_RECEIVE ((USHORT)7)
#define TDI_EVENT_CHAINED_RECEIVE_DATAGRAM ((USHORT)8)
#define TDI_EVENT_CHAINED_RECEIVE_EXPEDITED ((USHORT)9)
#define TDI_EVENT_ERROR_EX ((USHORT)10)

/* Called at DISPATCH_LEVEL by the transport's own thread with the bytes
 * the connection received. The handler copies what it wants, reports the
 * count in *BytesTaken and returns STATUS_SUCCESS (the rest is indicated
 * again later), STATUS_DATA_NOT_ACCEPTED (nothing taken), or
 * STATUS_MORE_PROCESSING_REQUIRED with a TDI_RECEIVE request, built with
 * TdiBuildReceive, in *IoRequestPacket for the rest. */
typedef NTSTATUS(NTAPI* PTDI_IND_RECEIVE)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
        ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu,
        PIRP* IoRequestPacket);

/* Called once per connection when the peer released (TDI_DISCONNECT_RELEASE)
 * or reset (TDI_DISCONNECT_ABORT) it. */
typedef NTSTATUS(NTAPI* PTDI_IND_DISCONNECT)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
        LONG DisconnectDataLength, PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation,
        ULONG DisconnectFlags);

typedef NTSTATUS(NTAPI* PTDI_IND_ERROR)(PVOID TdiEventContext, NTSTATUS Status);

/* ------------------------------------------------------------------ */
/* Building requests                                                   */
/* ------------------------------------------------------------------ */

/* An internal device-control request for the transport, bound to the
 * caller's event and status block; the caller fills its stack location
 * with one of the TdiBuild* helpers below. */
#define TdiBuildInternalDeviceControlIrp(IrpSubFunction, DeviceObject, FileObject, Event, IoStatusBlock) \
    IoBuildDeviceIoControlRequest(0x00000003, (DeviceObject), NULL, 0, NULL, 0, TRUE, (Event), (IoStatusBlock))

/* The TdiBuild* macros below fill the next stack location through inline
 * helpers of the platform's own (vlm/tdikrnl_private.h). */
#define TdiBuildAssociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt, AddrHandle) \
    TdipBuildAssociateAddress(                                                          \
            (Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), (HANDLE)(AddrHandle))

#define TdiBuildDisassociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt)                                  \
    ((void)TdipBuildBaseIrp((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), \
            TDI_DISASSOCIATE_ADDRESS))

#define TdiBuildConnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, RequestConnectionInfo, ReturnConnectionInfo) \
    TdipBuildConnectOrDisconnect((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt),  \
            TDI_CONNECT, (PLARGE_INTEGER)(Time), 0, (RequestConnectionInfo), (ReturnConnectionInfo))

#define TdiBuildDisconnect(                                                                                          \
        Irp, DevObj, FileObj, CompRoutine, Contxt, Time, Flags, RequestConnectionInfo, ReturnConnectionInfo)         \
    TdipBuildConnectOrDisconnect((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), \
            TDI_DISCONNECT, (PLARGE_INTEGER)(Time), (ULONG_PTR)(Flags), (RequestConnectionInfo),                     \
            (ReturnConnectionInfo))

#define TdiBuildSend(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, SendLen)                     \
    TdipBuildSendOrReceive((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), \
            TDI_SEND, (MdlAddr), (ULONG)(InFlags), (ULONG)(SendLen))

#define TdiBuildReceive(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, ReceiveLen)               \
    TdipBuildSendOrReceive((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), \
            TDI_RECEIVE, (MdlAddr), (ULONG)(InFlags), (ULONG)(ReceiveLen))

#define TdiBuildSetEventHandler(                                                                                 \
        Irp, DevObj, FileObj, CompRoutine, Contxt, InEventType, InEventHandler, InEventContext)                  \
    TdipBuildSetEventHandler((Irp), (DevObj), (FileObj), (PIO_COMPLETION_ROUTINE)(CompRoutine), (PVOID)(Contxt), \
            (LONG)(InEventType), (PVOID)(InEventHandler), (PVOID)(InEventContext))

#ifdef __cplusplus
}
#endif

#include "vlm/tdikrnl_private.h"

#ifdef __cplusplus
static_assert(sizeof(TDI_REQUEST_KERNEL) <= sizeof(((IO_STACK_LOCATION*)0)->Parameters),
        "TDI parameter blocks overlay IrpSp->Parameters");
static_assert(sizeof(TDI_REQUEST_KERNEL_SET_EVENT) <= sizeof(((IO_STACK_LOCATION*)0)->Parameters),
        "TDI parameter blocks overlay IrpSp->Parameters");
#endif
