// Symbolic link objects: a name in the namespace that resolves to another.
#include "ob/ob.h"

#include <new>
#include <string>

namespace vlm::nt::ob {

namespace {

struct SymbolicLink {
    std::u16string target;  // immutable after creation
};

void DeleteSymbolicLink(PVOID object)
{
    static_cast<SymbolicLink*>(object)->~SymbolicLink();
}

}  // namespace

POBJECT_TYPE SymbolicLinkType()
{
    static POBJECT_TYPE type = CreateObjectType({"SymbolicLink", DeleteSymbolicLink, nullptr, false});
    return type;
}

std::u16string SymbolicLinkTarget(PVOID link)
{
    return static_cast<SymbolicLink*>(link)->target;
}

}  // namespace vlm::nt::ob

using namespace vlm::nt;

// A link lives in the namespace until it is deleted: the namespace's
// reference is the only one left after creation.
extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (!SymbolicLinkName || !DeviceName || !DeviceName->Buffer)
        return STATUS_INVALID_PARAMETER;
    PVOID object;
    NTSTATUS status = ob::CreateObject(ob::SymbolicLinkType(), sizeof(ob::SymbolicLink), &object);
    if (!NT_SUCCESS(status))
        return status;
    new (object) ob::SymbolicLink{
            std::u16string(reinterpret_cast<const char16_t*>(DeviceName->Buffer), DeviceName->Length / sizeof(WCHAR))};
    status = ob::InsertName(SymbolicLinkName, object);
    ob::DereferenceInternal(object);
    return status;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    PVOID object;
    NTSTATUS status = ob::ReferenceByName(SymbolicLinkName, ob::SymbolicLinkType(), &object);
    if (!NT_SUCCESS(status))
        return status;
    ob::RemoveName(object);
    ob::DereferenceInternal(object);
    return STATUS_SUCCESS;
}
