/*
 * Not part of the DDK. The inline helpers that tdikrnl.h's TdiBuild*
 * macros expand to (the DDK's own macros do the same work inline). A
 * driver calls the macros, never these: the DDK check compiles every
 * driver source against MinGW-w64's DDK headers, which have no such names.
 */
#pragma once

#include "../tdikrnl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills what every TDI request shares in the next stack location and
 * returns that location's parameter block. Without a completion routine
 * the location's routine is cleared. */
FORCEINLINE PVOID TdipBuildBaseIrp(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, UCHAR Minor)
{
    PIO_STACK_LOCATION irpSp = IoGetNextIrpStackLocation(Irp);
    irpSp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    irpSp->MinorFunction = Minor;
    irpSp->DeviceObject = DevObj;
    irpSp->FileObject = FileObj;
    if (CompRoutine)
        IoSetCompletionRoutine(Irp, CompRoutine, Contxt, TRUE, TRUE, TRUE);
    else
        IoSetCompletionRoutine(Irp, NULL, NULL, FALSE, FALSE, FALSE);
    return &irpSp->Parameters;
}

FORCEINLINE void TdipBuildAssociateAddress(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, HANDLE AddrHandle)
{
    PTDI_REQUEST_KERNEL_ASSOCIATE p = (PTDI_REQUEST_KERNEL_ASSOCIATE)TdipBuildBaseIrp(
            Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_ASSOCIATE_ADDRESS);
    p->AddressHandle = AddrHandle;
}

FORCEINLINE void TdipBuildConnectOrDisconnect(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, UCHAR Minor, PLARGE_INTEGER Time, ULONG_PTR Flags,
        PTDI_CONNECTION_INFORMATION RequestConnectionInfo, PTDI_CONNECTION_INFORMATION ReturnConnectionInfo)
{
    PTDI_REQUEST_KERNEL p = (PTDI_REQUEST_KERNEL)TdipBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, Minor);
    p->RequestFlags = Flags;
    p->RequestConnectionInformation = RequestConnectionInfo;
    p->ReturnConnectionInformation = ReturnConnectionInfo;
    p->RequestSpecific = (PVOID)Time;
}

FORCEINLINE void TdipBuildSendOrReceive(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, UCHAR Minor, PMDL MdlAddr, ULONG Flags, ULONG Length)
{
    /* Send and receive parameter blocks share their layout: length, flags. */
    PTDI_REQUEST_KERNEL_SEND p =
            (PTDI_REQUEST_KERNEL_SEND)TdipBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, Minor);
    Irp->MdlAddress = MdlAddr;
    p->SendLength = Length;
    p->SendFlags = Flags;
}

FORCEINLINE void TdipBuildSetEventHandler(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, LONG EventType, PVOID EventHandler, PVOID EventContext)
{
    PTDI_REQUEST_KERNEL_SET_EVENT p = (PTDI_REQUEST_KERNEL_SET_EVENT)TdipBuildBaseIrp(
            Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_SET_EVENT_HANDLER);
    p->EventType = EventType;
    p->EventHandler = EventHandler;
    p->EventContext = EventContext;
}

#ifdef __cplusplus
}
#endif
