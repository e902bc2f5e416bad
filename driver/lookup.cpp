/*
 * Printer lookup: the IPv4 address and TCP port a port is assigned to,
 * read from the port's subkey of the assignment key that the
 * configuration tool writes. Nothing is cached: the open path and the
 * write path's reconnection read the registry again every time, so a new
 * assignment takes effect at the next open.
 */
#include "vlmquentaro.h"

/* The assignment key in the kernel's native form; a port's key is this
 * path followed by the port's name. */
#define ASSIGN_KEY_PATH L"\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\"
#define ASSIGN_KEY_PATH_CHARS (sizeof(ASSIGN_KEY_PATH) / sizeof(WCHAR) - 1)

/* Data bytes of IPAddress and Port: a REG_DWORD, as the tool writes them. */
#define ASSIGNMENT_VALUE_BYTES 4

/*
 * OpenAssignmentKey: opens a key of the assignment tree for reading.
 * IRQL: PASSIVE_LEVEL. No locks.
 *
 * The handle is a kernel handle: the lookup runs on the opening
 * application's thread, and an ordinary handle would land in that
 * process's handle table, where the application could use or close it.
 */
static NTSTATUS OpenAssignmentKey(PCWSTR Path, PHANDLE Key)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;

    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(Key, KEY_READ, &attributes);
}

/*
 * CountSubKeys: the number of subkeys of Key from its KeyFullInformation,
 * queried once for the size and once into a paged buffer of that size;
 * 0 when the key cannot be queried or the buffer cannot be allocated.
 * IRQL: PASSIVE_LEVEL. No locks. Frees what it allocates.
 */
static ULONG CountSubKeys(HANDLE Key)
{
    PKEY_FULL_INFORMATION information;
    ULONG length = 0;
    ULONG returned;
    ULONG subKeys = 0;
    NTSTATUS status;

    status = ZwQueryKey(Key, KeyFullInformation, NULL, 0, &length);
    if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) ||
            length < FIELD_OFFSET(KEY_FULL_INFORMATION, Class))
        return 0;

    information = (PKEY_FULL_INFORMATION)ExAllocatePool(PagedPool, length);
    if (information == NULL)
        return 0;
    status = ZwQueryKey(Key, KeyFullInformation, information, length, &returned);
    if (NT_SUCCESS(status))
        subKeys = information->SubKeys;
    ExFreePool(information);
    return subKeys;
}

/*
 * EnumerateSubKeyName: subkey Index of Key as KeyBasicInformation, queried
 * once for the size and once into a paged buffer, with the name
 * NUL-terminated in one WCHAR allocated beyond the reported size so that
 * it can be traced and compared as a string. NULL when the subkey cannot
 * be read. The caller frees the buffer with ExFreePool.
 * IRQL: PASSIVE_LEVEL. No locks.
 */
static PKEY_BASIC_INFORMATION EnumerateSubKeyName(HANDLE Key, ULONG Index, PULONG NameChars)
{
    PKEY_BASIC_INFORMATION information;
    ULONG length = 0;
    ULONG returned;
    ULONG nameBytes;
    NTSTATUS status;

    status = ZwEnumerateKey(Key, Index, KeyBasicInformation, NULL, 0, &length);
    if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) ||
            length < FIELD_OFFSET(KEY_BASIC_INFORMATION, Name))
        return NULL;

    information = (PKEY_BASIC_INFORMATION)ExAllocatePool(PagedPool, length + sizeof(WCHAR));
    if (information == NULL)
        return NULL;
    /* A subkey renamed or replaced between the two calls may no longer fit:
     * it is skipped like one that is gone. */
    status = ZwEnumerateKey(Key, Index, KeyBasicInformation, information, length, &returned);
    if (!NT_SUCCESS(status)) {
        ExFreePool(information);
        return NULL;
    }

    nameBytes = information->NameLength;
    if (nameBytes > length - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name))
        nameBytes = length - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    *NameChars = nameBytes / sizeof(WCHAR);
    information->Name[*NameChars] = L'\0';
    return information;
}

/*
 * ReadAssignmentValue: copies the data bytes of the value ValueName of Key
 * into Output, queried as KeyValuePartialInformation once for the size and
 * once into a paged buffer of that size.
 * IRQL: PASSIVE_LEVEL. No locks. Frees what it allocates.
 *
 * Output changes only when the value's data is exactly 4 bytes. A missing
 * or unreadable value leaves it as it was, and so does data of any other
 * length: an IPv4 address or a port in network order cannot be made from
 * fewer bytes (the rest of Output would keep stale bytes), and the first 4
 * of a longer value are an address nobody assigned. The caller then
 * connects to what Output held before, 0, and the open fails.
 */
static VOID ReadAssignmentValue(HANDLE Key, PCWSTR ValueName, PULONG Output)
{
    PKEY_VALUE_PARTIAL_INFORMATION information;
    UNICODE_STRING name;
    ULONG length = 0;
    ULONG returned;
    NTSTATUS status;

    RtlInitUnicodeString(&name, ValueName);
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &length);
    if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) ||
            length < FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
        return;

    information = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePool(PagedPool, length);
    if (information == NULL)
        return;
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, information, length, &returned);
    if (status == STATUS_SUCCESS && information->DataLength == ASSIGNMENT_VALUE_BYTES &&
            FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + ASSIGNMENT_VALUE_BYTES <= length)
        RtlCopyMemory(Output, information->Data, ASSIGNMENT_VALUE_BYTES);
    ExFreePool(information);
}

/*
 * QueryPortAddress: looks up the printer assigned to the port PortName and
 * copies the data bytes of its IPAddress and Port values, unchanged (both
 * are in network byte order), into IPAddress and Port. An output whose
 * value is not reached keeps its content; callers initialise both to 0.
 *
 * The enumeration only decides whether the port's key is opened: a subkey
 * whose name begins with the port name, compared case-sensitively, lets
 * the lookup open the key named exactly like the port (the registry
 * compares that name case-insensitively). So subkey COM30 alone lets port
 * COM3 try to open COM3, which fails.
 *
 * Returns FALSE when the assignment key or the port's key cannot be
 * opened (or the port key's path cannot be allocated), TRUE otherwise,
 * including when no subkey matches. A port with an empty name matches no
 * subkey: its path would be the assignment key itself.
 *
 * IRQL: PASSIVE_LEVEL, on the thread of the application that opens or
 * writes to the port. Takes no lock; reads only PortName, which is
 * NUL-terminated. Every exit closes the keys it opened and frees the
 * buffers it allocated.
 */
BOOLEAN QueryPortAddress(PCWSTR PortName, PULONG IPAddress, PULONG Port)
{
    PKEY_BASIC_INFORMATION subKey;
    HANDLE assignKey;
    HANDLE portKey;
    PWSTR portKeyPath;
    ULONG portChars;
    ULONG subKeys;
    ULONG nameChars = 0;
    ULONG i;
    BOOLEAN matched = FALSE;
    NTSTATUS status;

    status = OpenAssignmentKey(ASSIGN_KEY_PATH, &assignKey);
    if (status != STATUS_SUCCESS) {
        DbgPrint("*^^* ZwOpenKey Failed: %X\n", (ULONG)status);
        return FALSE;
    }

    portChars = (ULONG)wcslen(PortName);
    subKeys = CountSubKeys(assignKey);

    for (i = 0; i < subKeys && !matched; i++) {
        subKey = EnumerateSubKeyName(assignKey, i, &nameChars);
        if (subKey == NULL)
            continue;
        DbgPrintWide("*(^^)* DOS Name: %ws, Length: %d\n", PortName, (LONG)portChars);
        DbgPrintWide("*(^^)* KeyBasicInformation Name: %ws\n", subKey->Name);
        /* The name field bounds a port name; a longer string is no name
         * the port record can hold, and would not fit the key's path. */
        matched = portChars != 0 && portChars < VSERIAL_NAME_CHARS && nameChars >= portChars &&
                wcsncmp(subKey->Name, PortName, portChars) == 0;
        ExFreePool(subKey);
    }

    if (!matched) {
        ZwClose(assignKey);
        return TRUE;
    }

    portKeyPath = (PWSTR)ExAllocatePool(PagedPool, (ASSIGN_KEY_PATH_CHARS + portChars + 1) * sizeof(WCHAR));
    if (portKeyPath == NULL) {
        ZwClose(assignKey);
        return FALSE;
    }
    RtlCopyMemory(portKeyPath, ASSIGN_KEY_PATH, ASSIGN_KEY_PATH_CHARS * sizeof(WCHAR));
    RtlCopyMemory(portKeyPath + ASSIGN_KEY_PATH_CHARS, PortName, portChars * sizeof(WCHAR));
    portKeyPath[ASSIGN_KEY_PATH_CHARS + portChars] = L'\0';

    DbgPrintWide("*^^* RegPath: %ws\n", portKeyPath);
    status = OpenAssignmentKey(portKeyPath, &portKey);
    ExFreePool(portKeyPath);
    ZwClose(assignKey);
    if (status != STATUS_SUCCESS) {
        DbgPrint("*(^^)* Second ZwOpenKey Failed: %X\n", (ULONG)status);
        return FALSE;
    }

    ReadAssignmentValue(portKey, L"IPAddress", IPAddress);
    ReadAssignmentValue(portKey, L"Port", Port);
    ZwClose(portKey);
    return TRUE;
}
