/*
 * Port naming: the COM name the Ports class installer gave the device
 * node becomes the port's \DosDevices links, its SERIALCOMM entry and its
 * enabled COM-port interface. Removal undoes each step (pnp.cpp).
 */
#include "vlmquentaro.h"

#define DOS_DEVICES_PREFIX L"\\DosDevices\\"
#define DOS_DEVICES_PREFIX_CHARS (sizeof(DOS_DEVICES_PREFIX) / sizeof(WCHAR) - 1)
/* The longest port name whose links ("\DosDevices\" + name + ":") still
 * fit the record's name fields with their NUL. The 255-byte query buffer
 * bounds it well below this already. */
#define PORT_NAME_MAX_CHARS (VSERIAL_NAME_CHARS - DOS_DEVICES_PREFIX_CHARS - 2)
#define SERIALCOMM_KEY_PATH L"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"

/* The two forms of the naming trace: at start the lines carry the
 * "*(^^)* " mark of notable events, at open they do not. */
typedef struct _PORT_NAME_TRACES {
    PCSTR QueryValue;
    PCSTR DosName;
    PCSTR PortName;
    PCSTR InterfaceState;
} PORT_NAME_TRACES;

static const PORT_NAME_TRACES PortNameTraces[] = {
        /* PortNameAtStart */
        {"*(^^)* ZwQueryValueKey: [%ws]", "*(^^)* DOS_NAME: [%ws]", "*(^^)* cPortName: [%ws]",
                "*(^^)* IoSetDeviceInterfaceState: [%ws]"},
        /* PortNameAtOpen */
        {"ZwQueryValueKey: [%ws]", "DOS_NAME: [%ws]", "cPortName: [%ws]", " IoSetDeviceInterfaceState: [%ws]"},
};

/*
 * RegisterPortName: reads the device node's PortName value and makes the
 * port known under it: fills DosName, DosNameColon and PortName, creates
 * both \DosDevices links to the physical device object, writes the
 * SERIALCOMM value and enables the COM-port interface. Caller selects the
 * trace form.
 * IRQL: PASSIVE_LEVEL; the Plug and Play thread at start, the opening
 * application's thread at open. At start nothing else of the port runs;
 * opens call it through RegisterPortNameAtOpen, under NamingLock, since
 * two opens may name the port at once.
 *
 * Returns the failure of opening the node's key, of the query (a name too
 * long for the buffer gives STATUS_BUFFER_OVERFLOW) or of reading the
 * physical device object's name; nothing is named then. The results of
 * the link creations (an existing link fails with a collision and stays),
 * the SERIALCOMM write and the interface change are not examined.
 */
NTSTATUS RegisterPortName(PDEVICE_OBJECT DeviceObject, PORT_NAME_CALLER Caller)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    const PORT_NAME_TRACES* traces = &PortNameTraces[Caller == PortNameAtStart ? 0 : 1];
    WCHAR dosName[VSERIAL_NAME_CHARS];
    WCHAR portName[VSERIAL_NAME_CHARS];
    ULONG queryBuffer[(VSERIAL_QUERY_BUFFER_BYTES + sizeof(ULONG) - 1) / sizeof(ULONG)];
    WCHAR pdoName[VSERIAL_QUERY_BUFFER_BYTES / sizeof(WCHAR) + 1];
    PKEY_VALUE_FULL_INFORMATION valueInformation = (PKEY_VALUE_FULL_INFORMATION)queryBuffer;
    UNICODE_STRING valueName;
    UNICODE_STRING linkName;
    UNICODE_STRING deviceName;
    HANDLE key;
    ULONG resultLength;
    ULONG dataBytes;
    NTSTATUS status;

    status = IoOpenDeviceRegistryKey(
            deviceExtension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status))
        return status;

    RtlInitUnicodeString(&valueName, L"PortName");
    status = ZwQueryValueKey(
            key, &valueName, KeyValueFullInformation, valueInformation, VSERIAL_QUERY_BUFFER_BYTES, &resultLength);
    DbgPrintWide(traces->QueryValue, valueName.Buffer);
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        return status;
    }

    /* The port name is the data's characters up to the first NUL or the
     * end of the data, whichever comes first, never beyond the buffer. It
     * is copied bytewise: the data need not be WCHAR-aligned. */
    RtlZeroMemory(portName, sizeof(portName));
    dataBytes = 0;
    if (valueInformation->DataOffset <= VSERIAL_QUERY_BUFFER_BYTES)
        dataBytes = valueInformation->DataLength;
    if (dataBytes > VSERIAL_QUERY_BUFFER_BYTES - valueInformation->DataOffset)
        dataBytes = VSERIAL_QUERY_BUFFER_BYTES - valueInformation->DataOffset;
    if (dataBytes > PORT_NAME_MAX_CHARS * sizeof(WCHAR))
        dataBytes = PORT_NAME_MAX_CHARS * sizeof(WCHAR);
    RtlCopyMemory(portName, (PUCHAR)valueInformation + valueInformation->DataOffset, dataBytes & ~1UL);

    RtlZeroMemory(dosName, sizeof(dosName));
    RtlZeroMemory(deviceExtension->DosName, sizeof(deviceExtension->DosName));

    wcscpy(dosName, DOS_DEVICES_PREFIX);
    wcscat(dosName, portName);
    DbgPrintWide(traces->DosName, dosName);
    RtlCopyMemory(deviceExtension->DosName, dosName, sizeof(dosName));

    wcscat(dosName, L":");
    RtlCopyMemory(deviceExtension->DosNameColon, dosName, sizeof(dosName));

    DbgPrintWide(traces->PortName, portName);
    RtlCopyMemory(deviceExtension->PortName, portName, sizeof(portName));

    ZwClose(key);

    /* One WCHAR more than the query may fill keeps the name terminated. */
    RtlZeroMemory(pdoName, sizeof(pdoName));
    status = IoGetDeviceProperty(deviceExtension->PhysicalDeviceObject, DevicePropertyPhysicalDeviceObjectName,
            VSERIAL_QUERY_BUFFER_BYTES, pdoName, &resultLength);
    if (!NT_SUCCESS(status))
        return status;

    RtlInitUnicodeString(&deviceName, pdoName);
    RtlInitUnicodeString(&linkName, deviceExtension->DosName);
    IoCreateSymbolicLink(&linkName, &deviceName);
    RtlInitUnicodeString(&linkName, deviceExtension->DosNameColon);
    IoCreateSymbolicLink(&linkName, &deviceName);

    WriteSerialCommValue(pdoName, SERIALCOMM_KEY_PATH, deviceExtension->PortName,
            (ULONG)(wcslen(deviceExtension->PortName) * sizeof(WCHAR)));

    IoSetDeviceInterfaceState(&deviceExtension->UnicodeString, TRUE);
    DbgPrintWide(traces->InterfaceState, TraceableString(&deviceExtension->UnicodeString));

    return status;
}

VOID RegisterPortNameAtOpen(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    KeWaitForSingleObject(&deviceExtension->NamingLock, Executive, KernelMode, FALSE, NULL);
    RegisterPortName(DeviceObject, PortNameAtOpen);
    KeSetEvent(&deviceExtension->NamingLock, IO_NO_INCREMENT, FALSE);
}

VOID SnapshotPortName(PDEVICE_EXTENSION DeviceExtension, WCHAR PortName[VSERIAL_NAME_CHARS])
{
    KeWaitForSingleObject(&DeviceExtension->NamingLock, Executive, KernelMode, FALSE, NULL);
    RtlCopyMemory(PortName, DeviceExtension->PortName, sizeof(DeviceExtension->PortName));
    KeSetEvent(&DeviceExtension->NamingLock, IO_NO_INCREMENT, FALSE);
}

/*
 * WriteSerialCommValue: writes Data as the REG_SZ value ValueName of the
 * key KeyPath (absolute), through a zero-filled paged copy of the path.
 * The result is not examined by the naming, so none is returned; if the
 * copy cannot be allocated, nothing is written.
 * IRQL: PASSIVE_LEVEL. No locks.
 */
VOID WriteSerialCommValue(PCWSTR ValueName, PCWSTR KeyPath, PVOID Data, ULONG DataLength)
{
    PWSTR path;

    path = (PWSTR)ExAllocatePool(PagedPool, VSERIAL_QUERY_BUFFER_BYTES);
    if (path == NULL)
        return;
    RtlZeroMemory(path, VSERIAL_QUERY_BUFFER_BYTES);
    /* At most what leaves the buffer's last WCHAR zero. */
    wcsncpy(path, KeyPath, VSERIAL_QUERY_BUFFER_BYTES / sizeof(WCHAR) - 1);

    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, ValueName, REG_SZ, Data, DataLength);

    ExFreePoolWithTag(path, 0);
}
