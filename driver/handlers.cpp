/*
 * The transport's event handlers: the whole inbound side of a connection.
 * The transport calls them at up to DISPATCH_LEVEL in its own thread, with
 * the handle's TdiContext as event context.
 */
#include "vlmquentaro.h"

#include <tdikrnl.h>

/*
 * ReceiveEventHandler: stores the indicated bytes into the port's input
 * queue and reports what fit as taken; the transport offers the rest again
 * later. Reads and waits are completed by the polling threads, not here.
 *
 * IRQL: <= DISPATCH_LEVEL, transport thread. Takes PortLock (then the
 * ring's lock inside InputQueue): the queue is reached through the port
 * record, so a removal that detached the queue leaves nothing to write to.
 */
NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
        ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
{
    PTDI_CONTEXT context = (PTDI_CONTEXT)TdiEventContext;
    PDEVICE_EXTENSION port = context->Port;
    ULONG taken = 0;
    ULONG queued = 0;
    KIRQL irql;

    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);
    UNREFERENCED_PARAMETER(BytesAvailable);
    DbgPrint("*(^^)* - In Received Event Handler -\n");
    KeAcquireSpinLock(&port->PortLock, &irql);
    if (port->InputQueue != NULL) {
        taken = InputQueue(port->InputQueue, (const UCHAR*)Tsdu, BytesIndicated);
        queued = QueuingDataSize(port->InputQueue);
    }
    KeReleaseSpinLock(&port->PortLock, irql);
    *BytesTaken = taken;
    DbgPrint("*(^^)* Queuing Data Size: %d\n", queued);
    *IoRequestPacket = NULL;
    return STATUS_SUCCESS;
}

/*
 * DisconnectEventHandler: the printer closed or reset the connection.
 * Wakes a clean-up waiting for the release and marks the handle
 * disconnected; pending reads and waits stay as they are.
 *
 * IRQL: <= DISPATCH_LEVEL, transport thread. No lock.
 */
NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
        LONG DisconnectDataLength, PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation,
        ULONG DisconnectFlags)
{
    PTDI_CONTEXT context = (PTDI_CONTEXT)TdiEventContext;

    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    UNREFERENCED_PARAMETER(DisconnectFlags);
    DbgPrint("+- In Disconnect Event Handler\n");
    KeSetEvent(&context->DisconnectEndEvent, 1, FALSE);
    SetConnectionState(context, 0);
    return STATUS_SUCCESS;
}
