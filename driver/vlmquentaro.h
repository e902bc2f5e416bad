/*
 * VLMQUENTARO: a WDM function driver that presents each root-enumerated
 * Ports-class device node as a serial port COMn whose far end is a
 * network printer.
 *
 * The records every part of the driver shares: the per-port device
 * extension, the per-handle connection record and the input ring, with
 * the driver's constants and routine prototypes.
 *
 * Lock order, outermost first:
 *   I/O manager's cancel spin lock -> DEVICE_EXTENSION.PortLock -> InputRing.Lock
 * The ring's lock is innermost: nothing is acquired and nothing is called
 * out to while it is held.
 */
#pragma once

#include <ntddk.h>
#include <ntddser.h>

/* ------------------------------------------------------------------ */
/* Constants                                                           */
/* ------------------------------------------------------------------ */

/* Characters in each of the three name fields of the port record. */
#define VSERIAL_NAME_CHARS 255
/* Bytes of the buffers that registry values and device properties are
 * read into; they bound the port name and the physical device name. */
#define VSERIAL_QUERY_BUFFER_BYTES 255

#define VSERIAL_DEFAULT_BAUD_RATE 115200
#define VSERIAL_WAIT_IRP_SLOTS 10

/* Positions of the input ring; one always stays free, so it holds at
 * most INPUT_RING_CAPACITY bytes. */
#define INPUT_RING_POSITIONS 0x40001UL
#define INPUT_RING_CAPACITY 0x40000UL

/* Pool tag of the per-handle connection record: "TdiE" in memory. */
#define TDI_CONTEXT_TAG 0x45696454UL

/* The driver's private control codes. */
#define IOCTL_WAIT_FOR_REMOVAL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_WRITE_LOWEST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* UpdateModemStatus codes: which emulated handshake input to raise or drop. */
#define MODEM_DSR_ON 1
#define MODEM_CTS_ON 2
#define MODEM_DSR_OFF (-2)
#define MODEM_CTS_OFF (-3)

/* The separator that opens the traces of the entry, add-device, unload
 * and Plug and Play routines. */
#define VSERIAL_TRACE_SEPARATOR "================================================\n"

/* The DDK's %ws is unknown to the compiler's printf checker. Trace lines
 * that print a wide string go through this, so that every other trace
 * line keeps its format check. */
#if defined(__GNUC__)
#define DbgPrintWide(...)                                                                        \
    do {                                                                                         \
        _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wformat\"")            \
                _Pragma("GCC diagnostic ignored \"-Wformat-extra-args\"") DbgPrint(__VA_ARGS__); \
        _Pragma("GCC diagnostic pop")                                                            \
    } while (0)
#else
#define DbgPrintWide(...) DbgPrint(__VA_ARGS__)
#endif

/* A counted string's text for a %ws trace: its buffer when a NUL ends it
 * within the buffer, else an empty string (nothing is read beyond it). */
FORCEINLINE PCWSTR TraceableString(PCUNICODE_STRING String)
{
    if (String->Buffer == NULL || String->MaximumLength < String->Length + sizeof(WCHAR) ||
            String->Buffer[String->Length / sizeof(WCHAR)] != L'\0')
        return L"";
    return String->Buffer;
}

/* ------------------------------------------------------------------ */
/* Input ring                                                          */
/* ------------------------------------------------------------------ */

/*
 * The per-port queue of bytes received from the printer and not yet read.
 * One non-paged block that lives from add-device to removal, across opens.
 *
 * head, tail and data keep the offsets every user of the ring knows
 * (0, 4 and 8). Positions run modulo INPUT_RING_POSITIONS; empty when
 * head == tail, full when the position after tail is head.
 *
 * Lock: guards head, tail and data. Every ring operation, purge included,
 * holds it for its whole duration, which also raises to DISPATCH_LEVEL.
 * Innermost lock of the driver: callers may hold PortLock, never the
 * reverse.
 */
typedef struct _INPUT_RING {
    ULONG head;                       /* read index: oldest queued byte */
    ULONG tail;                       /* write index: where the next byte goes */
    UCHAR data[INPUT_RING_POSITIONS]; /* the ring storage */
    KSPIN_LOCK Lock;
} InputRing, *PINPUT_RING;

static_assert(FIELD_OFFSET(InputRing, head) == 0, "head at offset 0");
static_assert(FIELD_OFFSET(InputRing, tail) == 4, "tail at offset 4");
static_assert(FIELD_OFFSET(InputRing, data) == 8, "data right behind the indices");
static_assert((ULONG)FIELD_OFFSET(InputRing, Lock) >= 8 + INPUT_RING_POSITIONS, "the lock comes after the data");

/* ------------------------------------------------------------------ */
/* Port record                                                         */
/* ------------------------------------------------------------------ */

/* Bits of DEVICE_EXTENSION.ModemStatus the driver emulates: CTS and DSR
 * of a 16550's modem status register, the value IOCTL_SERIAL_GET_MODEMSTATUS
 * reports. ntddser.h leaves the register's bits to each serial driver. */
#define VSERIAL_MODEM_CTS 0x10
#define VSERIAL_MODEM_DSR 0x20

/*
 * The per-port record: the device extension of the port's device object.
 * IoCreateDevice hands it out zero-filled; it lives until the device
 * object goes, which is after IRP_MN_REMOVE_DEVICE deleted it and the last
 * file object on the port was closed.
 *
 * The fields up to Opened are in the order every part of the driver
 * relies on; fields of the driver's own bookkeeping follow them.
 */
typedef struct _DEVICE_EXTENSION {
    WCHAR DosName[VSERIAL_NAME_CHARS];      /* \DosDevices\COMn, name of the first link */
    WCHAR DosNameColon[VSERIAL_NAME_CHARS]; /* \DosDevices\COMn:, name of the second link */
    WCHAR PortName[VSERIAL_NAME_CHARS];     /* COMn, key of the address lookup */
    SERIAL_TIMEOUTS Timeouts;
    PDEVICE_OBJECT DeviceObject; /* the port's own device object */

    /* The polling threads' stop requests and end notices: notification
     * events, reset by the open path before it starts the threads. */
    KEVENT EmulationPollingStopEvent;
    KEVENT EmulationPollingExitEvent;
    KEVENT ReadPollingExitEvent;
    KEVENT ReadPollingStopEvent;

    PIRP PendingRemovalIrp; /* parked IOCTL_WAIT_FOR_REMOVAL; guarded by the cancel spin lock */
    PIRP PendingReadIrp;    /* guarded by PortLock */
    ULONG BaudRate;
    ULONG ModemStatus; /* VSERIAL_MODEM_CTS | VSERIAL_MODEM_DSR; see UpdateModemStatus */
    ULONG ModemControl;
    ULONG WaitIrpTail; /* guarded by PortLock, with WaitIrpHead and WaitIrpRing */
    ULONG WaitIrpHead;
    PDEVICE_OBJECT LowerDeviceObject; /* target of every request passed down */
    PIRP WaitIrpRing[VSERIAL_WAIT_IRP_SLOTS];
    ULONG WaitMask;
    PDEVICE_OBJECT PhysicalDeviceObject; /* opens the node's key, gives its name */
    SERIAL_LINE_CONTROL LineControl;

    /*
     * PortLock guards PendingReadIrp, the wait ring and the InputQueue
     * pointer, and serialises the read path, the wait-mask and purge
     * requests and both polling threads, which complete requests with it
     * held. Taken at up to DISPATCH_LEVEL. Order: after the cancel spin
     * lock, before the input ring's lock.
     *
     * The queue outlives no one: removal detaches it from the record
     * under PortLock before freeing it, so every user of the queue (the
     * read path, status and purge requests, the polling threads and the
     * transport's receive handler) reaches it as InputQueue while holding
     * PortLock and does nothing when it is NULL.
     */
    KSPIN_LOCK PortLock;
    PINPUT_RING InputQueue;

    UNICODE_STRING UnicodeString; /* COM-port interface link; buffer owned by the record */
    PIRP CurrentWriteIrp;
    ULONG Opened; /* 1 while an application has the port open */

    /*
     * The polling threads the last open started, referenced, or NULL.
     * Their exit events cannot tell removal that a thread is gone: surprise
     * removal and removal set those events themselves, and a thread still
     * completes requests under PortLock after setting its own. A thread
     * object is signalled only once the thread has left the driver's code.
     *
     * The open path fills these after starting each thread
     * (ObReferenceObjectByHandle on the handle PsCreateSystemThread gave,
     * then ZwClose). Before it starts new threads it calls
     * WaitForPollingThreads, so that at most one thread of each kind runs
     * per port. Removal waits for both before it frees the queue and
     * deletes the device. Written only at PASSIVE_LEVEL by the open path
     * and removal.
     */
    PKTHREAD ReadPollingThreadObject;
    PKTHREAD EmulationPollingThreadObject;

    /* Every open names the port again from the registry, also an open that
     * is then refused because the port is in use, so opens race each other
     * over DosName, DosNameColon and PortName. NamingLock, a
     * synchronization event used as a mutex (signalled = free), is held
     * while an open rewrites them and while one copies PortName out for the
     * printer lookup. PASSIVE_LEVEL only: the naming does registry I/O. */
    KEVENT NamingLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* ------------------------------------------------------------------ */
/* Per-handle connection record                                        */
/* ------------------------------------------------------------------ */

/*
 * One per open handle, in the file object's FsContext (NULL: the handle
 * has no connection). A tagged non-paged block (TDI_CONTEXT_TAG), filled
 * by the open path and the transport requests.
 *
 * The transport's event handlers reach the port through Port: the
 * receive handler stores into Port->InputQueue with Port->PortLock held
 * and takes nothing when the queue is gone, so a removal while a
 * connection is still open cannot leave it writing into freed memory.
 * The record itself outlives the connection: the device object (and so its
 * extension) stays until the last file object on it is closed, and the
 * connection is closed when the handle is cleaned up.
 */
typedef struct _TDI_CONTEXT {
    HANDLE TransportAddressHandle;
    HANDLE ConnectionHandle;
    PFILE_OBJECT TransportAddressFileObject; /* referenced; event handlers are registered on it */
    PFILE_OBJECT ConnectionFileObject;       /* referenced; connect, send, disconnect go here */
    ULONG ConnectionState;                   /* 0 not connected, 2 connected */
    PINPUT_RING InputQueue;                  /* the port's queue when the handle was opened */
    KEVENT DisconnectEndEvent;               /* notification; set by the disconnect handler */
    PDEVICE_EXTENSION Port;                  /* the port the handle was opened on */
} TdiContext, *PTDI_CONTEXT;

/* ------------------------------------------------------------------ */
/* Routines                                                            */
/* ------------------------------------------------------------------ */

/* entry.cpp */
EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID Unload(PDRIVER_OBJECT DriverObject);

/* pnp.cpp */
NTSTATUS VSerial_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VSERIAL_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* power.cpp */
NTSTATUS VSerial_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* modem.cpp */
VOID UpdateModemStatus(PDEVICE_EXTENSION Extension, LONG Code);

/* portname.cpp */
typedef enum _PORT_NAME_CALLER {
    PortNameAtStart, /* IRP_MN_START_DEVICE: trace lines marked "*(^^)* " */
    PortNameAtOpen   /* IRP_MJ_CREATE: the plain trace lines */
} PORT_NAME_CALLER;
NTSTATUS RegisterPortName(PDEVICE_OBJECT DeviceObject, PORT_NAME_CALLER Caller);
/* RegisterPortName at open, under NamingLock. */
VOID RegisterPortNameAtOpen(PDEVICE_OBJECT DeviceObject);
/* Copies PortName, under NamingLock, for a lookup that must not see it
 * half rewritten by a concurrent open. */
VOID SnapshotPortName(PDEVICE_EXTENSION DeviceExtension, WCHAR PortName[VSERIAL_NAME_CHARS]);
VOID WriteSerialCommValue(PCWSTR ValueName, PCWSTR KeyPath, PVOID Data, ULONG DataLength);

/* inputring.cpp */
PINPUT_RING AllocateInputQueue(VOID);
VOID FreeInputQueue(PINPUT_RING Queue);
VOID PurgeInputQueue(PINPUT_RING Queue);
ULONG InputQueue(PINPUT_RING Queue, const UCHAR* Source, ULONG Length);
ULONG ReadInputQueue(PINPUT_RING Queue, PUCHAR Destination, ULONG Length);
ULONG QueuingDataSize(PINPUT_RING Queue);

/* ---- TDI client and transport event handlers ---- */

#include <tdikrnl.h>

/* ConnectionState is written by the disconnect handler in the transport's
 * thread while the write and clean-up paths read it: 32-bit interlocked
 * accesses on both sides. */
FORCEINLINE ULONG ReadConnectionState(PTDI_CONTEXT Context)
{
    return (ULONG)InterlockedCompareExchange((LONG volatile*)&Context->ConnectionState, 0, 0);
}
FORCEINLINE VOID SetConnectionState(PTDI_CONTEXT Context, ULONG State)
{
    InterlockedExchange((LONG volatile*)&Context->ConnectionState, (LONG)State);
}

/* tdifuncs.cpp */
NTSTATUS TdiFuncs_Initialize(PTDI_CONTEXT pTdiContext);
NTSTATUS TdiFuncs_OpenTransportAddress(PHANDLE pTdiHandle, PFILE_OBJECT* pFileObject);
NTSTATUS Tdi_OpenConnection(PHANDLE pTdiHandle, PFILE_OBJECT* pFileObject);
NTSTATUS TdiFuncs_AssociateTransportAndConnection(HANDLE hTransportAddress, PFILE_OBJECT pfoConnection);
NTSTATUS TdiFuncs_DisassociateAddress(PFILE_OBJECT pfoConnection);
NTSTATUS TdiFuncs_SetEventHandler(
        PFILE_OBJECT pfoTdiFileObject, LONG InEventType, PVOID InEventHandler, PVOID InEventContext);
NTSTATUS TdiFuncs_Connect(PFILE_OBJECT pfoConnection, ULONG uiAddress, USHORT uiPort);
NTSTATUS TdiFuncs_Send(PFILE_OBJECT pfoConnection, PVOID pData, ULONG uiSendLength, PULONG pDataSent);
NTSTATUS TdiFuncs_Disconnect(PFILE_OBJECT pfoConnection);
NTSTATUS TdiFuncs_CloseHandle(HANDLE hTdiHandle, PFILE_OBJECT pfoTdiFileObject);
VOID TdiFuncs_Close(PTDI_CONTEXT pTdiContext);

/* handlers.cpp: of the DDK's PTDI_IND_RECEIVE and PTDI_IND_DISCONNECT types. */
NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
        ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);
NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
        LONG DisconnectDataLength, PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation,
        ULONG DisconnectFlags);

/* ---- printer lookup and serial control ---- */

/* lookup.cpp */
BOOLEAN QueryPortAddress(PCWSTR PortName, PULONG IPAddress, PULONG Port);

/*
 * ioctl.cpp. Besides what PortLock guards above, the control requests
 * hold it for the plain settings they store and report (BaudRate,
 * LineControl, Timeouts, ModemControl): the polling threads read Timeouts
 * and ModemControl under it, and Timeouts is five ULONGs that a read must
 * never see half-changed. ModemStatus is changed only by interlocked
 * operations.
 */
NTSTATUS VSerial_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * The parked IOCTL_WAIT_FOR_REMOVAL. PendingRemovalIrp is changed only
 * with the I/O manager's cancel spin lock held: parking, replacing,
 * taking it at removal and its cancel routine all hold it, so a request
 * found in the slot with the lock held is never being cancelled.
 * TakeRemovalWait empties the slot and returns the request with its
 * cancel routine taken away (the caller completes it), or NULL.
 */
PIRP TakeRemovalWait(PDEVICE_EXTENSION R);
VOID RemovalWaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Used by ioctl.cpp, provided by the read path and event waits. */
VOID CancelPendingReadForPurge(PDEVICE_EXTENSION R);
NTSTATUS SerialWaitMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode);

/* ---- read path and event waits ---- */

/* The events the emulation reports; no other SERIAL_EV_* ever occurs. */
#define VSERIAL_REPORTED_EVENTS (SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_DSR)

/* Bits of ModemControl (the last SET_MODEM_CONTROL value) that raise
 * SERIAL_EV_CTS and SERIAL_EV_DSR for the emulation thread. */
#define VSERIAL_MCR_CTS_EVENT 0x10
#define VSERIAL_MCR_DSR_EVENT 0x20

/* The wait ring keeps one slot free: at most this many waits are parked. */
#define VSERIAL_MAX_PARKED_WAITS (VSERIAL_WAIT_IRP_SLOTS - 1)

/* The polling threads' periods (relative, 100 ns units) and priority. */
#define READ_POLLING_PERIOD (-10000LL)       /* 1 ms */
#define EMULATION_POLLING_PERIOD (-100000LL) /* 10 ms */
#define POLLING_THREAD_PRIORITY LOW_REALTIME_PRIORITY

/* polling.cpp: what one polling thread does each period and at its end,
 * both with PortLock held. */
typedef VOID (*POLLING_PASS)(PDEVICE_EXTENSION R, PLONG Passes);
typedef VOID (*POLLING_FINISH)(PDEVICE_EXTENSION R);
typedef struct _POLLING_THREAD {
    PKEVENT StopEvent; /* set by the clean-up, removal and ReleaseConnection */
    PKEVENT ExitEvent; /* set by the thread once it leaves its loop */
    LONGLONG Period;   /* relative, 100 ns units */
    POLLING_PASS Pass;
    POLLING_FINISH Finish;
    PCSTR ExitTrace; /* traced after the exit event, or NULL */
} POLLING_THREAD;
VOID RunPollingThread(PDEVICE_EXTENSION R, const POLLING_THREAD* Thread);
VOID StartPollingThread(PDEVICE_EXTENSION R, PKSTART_ROUTINE Routine, PKTHREAD* Slot);
VOID WaitForPollingThread(PKTHREAD* Slot, ULONG Index);
VOID WaitForPollingThreads(PDEVICE_EXTENSION Extension);

/* A pending read without data completes on the pass after this many. */
#define READ_PASS_LIMIT_WITH_TOTAL_CONSTANT 10

/*
 * waitmask.cpp
 *
 * The wait ring (WaitIrpRing, WaitIrpHead, WaitIrpTail) is guarded by
 * PortLock: PushWaitIrp, PopWaitIrp and CountWaitIrps require the caller
 * to hold it, and check that it is held. A request the caller pops is out
 * of the ring but may still be cancelled: whoever pops one either pushes
 * it back within the same hold of PortLock or takes its cancel routine
 * away (CompleteWaitIrp, or IoSetCancelRoutine to NULL) before the lock is
 * released, and leaves it alone when that returns NULL. WaitIrpCancelRoutine
 * takes PortLock before it completes, so a popped request stays valid for
 * as long as its popper holds the lock.
 */
BOOLEAN PushWaitIrp(PDEVICE_EXTENSION R, PIRP Irp);
PIRP PopWaitIrp(PDEVICE_EXTENSION R);
ULONG CountWaitIrps(PDEVICE_EXTENSION R);
BOOLEAN CompleteWaitIrp(PIRP Irp, ULONG Events);
VOID WaitIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID EmulationPollingThread(PVOID Context);
NTSTATUS SerialWaitMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode);

/* read.cpp */
NTSTATUS VSerial_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID R_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ReadPollingThread(PVOID Context);
VOID CancelPendingReadForPurge(PDEVICE_EXTENSION R);

/* ---- open, clean-up, close and the write path ---- */

/* pool.cpp */
PVOID AllocateTaggedBlock(ULONG Size, ULONG Tag);
VOID FreeTaggedBlock(PVOID Block);

/* connect.cpp: the connect sequence of an open and of a reconnect after
 * a send time-out; each keeps its own trace lines. */
typedef enum _CONNECT_CALLER {
    ConnectAtOpen,      /* VSERIAL_Create */
    ConnectAfterRelease /* ReCreate */
} CONNECT_CALLER;
NTSTATUS ConnectHandle(PDEVICE_EXTENSION R, PFILE_OBJECT File, CONNECT_CALLER Caller);
VOID DeleteTdiContext(PTDI_CONTEXT Context);

/* open.cpp */
NTSTATUS VSERIAL_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VSerial_CleanUp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VSerial_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ReCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ReleaseConnection(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* write.cpp */
NTSTATUS VSerial_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS WriteUsb(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID W_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
/* The IOCTL_WRITE_LOWEST pass of a write, from VSerial_DeviceControl. */
NTSTATUS CompleteWriteLowest(PIRP Irp);
