/*
 * The connect sequence of a handle: a fresh connection record, its
 * transport objects and event handlers, the printer assigned to the port
 * looked up, and the connect. The open and the reconnect after a send
 * time-out run the same steps; only their trace lines differ.
 */
#include "vlmquentaro.h"

/* Prepares a fresh connection record: not connected, the port's queue,
 * and the release event, all before the transport can call a handler. */
static PTDI_CONTEXT NewTdiContext(PDEVICE_EXTENSION R)
{
    PTDI_CONTEXT context = (PTDI_CONTEXT)AllocateTaggedBlock(sizeof(TdiContext), TDI_CONTEXT_TAG);
    if (context == NULL)
        return NULL;
    context->TransportAddressHandle = NULL;
    context->ConnectionHandle = NULL;
    context->TransportAddressFileObject = NULL;
    context->ConnectionFileObject = NULL;
    context->ConnectionState = 0;
    context->InputQueue = R->InputQueue; /* a copy; the handler uses Port->InputQueue under PortLock */
    context->Port = R;
    KeInitializeEvent(&context->DisconnectEndEvent, NotificationEvent, FALSE);
    return context;
}

/* Closes the record's transport objects and frees it. After TdiFuncs_Close
 * no event handler runs on the record any more. */
VOID DeleteTdiContext(PTDI_CONTEXT Context)
{
    TdiFuncs_Close(Context);
    FreeTaggedBlock(Context);
}

/* Registers the two event handlers on the record's transport address;
 * their results are only traced. */
static VOID RegisterEventHandlers(PTDI_CONTEXT Context, BOOLEAN Trace)
{
    NTSTATUS status = TdiFuncs_SetEventHandler(
            Context->TransportAddressFileObject, TDI_EVENT_RECEIVE, (PVOID)ReceiveEventHandler, Context);
    if (Trace && NT_SUCCESS(status))
        DbgPrint(": Success to regist Receive Event\n");
    status = TdiFuncs_SetEventHandler(
            Context->TransportAddressFileObject, TDI_EVENT_DISCONNECT, (PVOID)DisconnectEventHandler, Context);
    if (Trace && NT_SUCCESS(status))
        DbgPrint(": Success to regist Disconnect Event\n");
}

/* What each caller traces at each step; NULL traces nothing. */
typedef struct _CONNECT_TRACE {
    PCSTR AllocateFailed;
    PCSTR Allocated; /* with the record's address */
    PCSTR InitializeFailed;
    PCSTR Initialized;
    BOOLEAN TraceHandlers; /* each registration on its own */
    PCSTR HandlersSet;
    PCSTR Address; /* with the address and port */
    PCSTR ConnectFailed;
    PCSTR Connected;
    PCSTR StateSet;
    BOOLEAN DropOnFailedConnect; /* else the unconnected record stays in FsContext */
} CONNECT_TRACE;

static const CONNECT_TRACE ConnectTraces[] = {
        /* ConnectAtOpen */
        {"E: Fail allocate pTdiContext\n", NULL, "E: Fail Tdi Initialize Handler\n", "*(^^)* Success Tdi Initialize\n",
                TRUE, NULL, ": dwIPAddress: %d, dwPort: %d\n", "E: Create, Fail Connection\n",
                ": Create, Success Connection\n", ": Create DisconnectEndEvent Set Event initialize\n", TRUE},
        /* ConnectAfterRelease */
        {"*(^^)* Fail allocate pTdiContext\n", "*(^^)* pTdiContext allocated: Addr[0x%0x]\n",
                "*(^^)* Fail Tdi Initialize Handler\n", NULL, FALSE, ":: Success Set Event Handler\n",
                "*(^^)* dwIPAddress: %d, dwPort: %d\n", "*(^^)* In Create, Fail Connection\n",
                "*(^^)* In Create, Success Connection\n", ": ReCreate DisconnectEndEvent Set Event initialize\n",
                FALSE},
};

/*
 * ConnectHandle: connects File to the printer assigned to the port and
 * keeps the connection record in File->FsContext, its state 2
 * (connected). Returns STATUS_UNSUCCESSFUL when no record can be had, the
 * transport's status when it cannot be initialized or the connect fails.
 * A failed connect leaves FsContext NULL at the open; after a release it
 * leaves the unconnected record there, so no further attempt is made
 * until the port is reopened.
 *
 * IRQL: PASSIVE_LEVEL, the caller's thread; blocks up to the connect's
 * 70 s. No lock held.
 */
NTSTATUS ConnectHandle(PDEVICE_EXTENSION R, PFILE_OBJECT File, CONNECT_CALLER Caller)
{
    const CONNECT_TRACE* trace = &ConnectTraces[Caller];
    PTDI_CONTEXT context = NewTdiContext(R);
    ULONG address = 0;
    ULONG port = 0;
    WCHAR portName[VSERIAL_NAME_CHARS];
    NTSTATUS status;

    if (context == NULL) {
        DbgPrint("%s", trace->AllocateFailed);
        return STATUS_UNSUCCESSFUL;
    }
    if (trace->Allocated != NULL)
        DbgPrint(trace->Allocated, (ULONG)(ULONG_PTR)context);
    status = TdiFuncs_Initialize(context);
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s", trace->InitializeFailed);
        FreeTaggedBlock(context);
        return status;
    }
    if (trace->Initialized != NULL)
        DbgPrint("%s", trace->Initialized);
    RegisterEventHandlers(context, trace->TraceHandlers);
    if (trace->HandlersSet != NULL)
        DbgPrint("%s", trace->HandlersSet);
    File->FsContext = context;

    SnapshotPortName(R, portName);
    QueryPortAddress(portName, &address, &port);
    DbgPrint(trace->Address, address, port);
    status = TdiFuncs_Connect(context->ConnectionFileObject, address, (USHORT)port);
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s", trace->ConnectFailed);
        if (trace->DropOnFailedConnect) {
            File->FsContext = NULL;
            DeleteTdiContext(context);
        }
        return status;
    }
    DbgPrint("%s", trace->Connected);
    DbgPrint("%s", trace->StateSet);
    SetConnectionState(context, 2);
    return STATUS_SUCCESS;
}
