// Object manager internals shared by the kernel's subsystems.
//
// Every object has a header in front of its body: the type, a reference
// count and a handle count. Bodies are zero-filled at creation and freed
// when the last reference goes; the type's delete procedure runs first.
// Handles are kernel handles in one table; each holds one reference.
#pragma once

#include <ntddk.h>

#include <string>
#include <string_view>

namespace vlm::nt::ob {

struct TypeInitializer {
    const char* name;
    // Runs when the last reference goes, before the body is freed.
    void (*deleteProcedure)(PVOID object) = nullptr;
    // Runs after a handle is closed; handlesLeft is the object's remaining
    // handle count (0: the last handle went, as IRP_MJ_CLEANUP needs).
    void (*closeProcedure)(PVOID object, ULONG handlesLeft) = nullptr;
    // The object is waitable: its body starts with a DISPATCHER_HEADER.
    bool waitable = false;
};

}  // namespace vlm::nt::ob

struct _OBJECT_TYPE;

namespace vlm::nt::ob {

POBJECT_TYPE CreateObjectType(const TypeInitializer& init);
const TypeInitializer& TypeInfo(POBJECT_TYPE type);
const char* TypeName(POBJECT_TYPE type);

// New object with one reference (the caller's) and no handle. The body is
// zero-filled and aligned for any type.
NTSTATUS CreateObject(POBJECT_TYPE type, size_t bodySize, PVOID* object);
POBJECT_TYPE ObjectType(PVOID object);
LONG PointerCount(PVOID object);
LONG HandleCount(PVOID object);

// A new handle to an object; takes a reference of its own.
NTSTATUS OpenObjectByPointer(PVOID object, ACCESS_MASK access, PHANDLE handle);

// Like ObReferenceObjectByHandle but without the references counter, for
// the kernel's own short uses (the reference is dropped with
// DereferenceInternal).
NTSTATUS ReferenceByHandleInternal(HANDLE handle, POBJECT_TYPE type, PVOID* object);
// The same, also giving the access the handle was granted.
NTSTATUS ReferenceByHandleInternal(HANDLE handle, POBJECT_TYPE type, PVOID* object, ACCESS_MASK* granted);
void ReferenceInternal(PVOID object);
void DereferenceInternal(PVOID object);

// ------------------------------------------------------------ namespace
//
// Names are full paths (\Device\00000042, \DosDevices\COM3). \DosDevices\,
// \??\ and \GLOBAL??\ are one directory. Comparison is case-insensitive;
// the name keeps its case. A named object is held by the namespace with a
// reference of its own until it is unnamed.

NTSTATUS InsertName(PCUNICODE_STRING name, PVOID object);
void RemoveName(PVOID object);
// The name an object was inserted under, empty if none.
std::u16string ObjectName(PVOID object);

// Looks a name up, following symbolic links (at most a few levels), and
// returns the object referenced (DereferenceInternal when done).
NTSTATUS ReferenceByName(PCUNICODE_STRING name, POBJECT_TYPE type, PVOID* object);

// Drops every name and symbolic link (kernel shutdown).
void ClearNamespace();

// Case-folded key for names: upper-cases ASCII and Latin-1.
std::u16string FoldName(std::u16string_view name);

}  // namespace vlm::nt::ob
