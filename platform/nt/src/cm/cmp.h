// Configuration manager internals shared by the cm files: key objects and
// handles, native path parsing, the open store, and the buffer rules of
// the query routines.
#pragma once

#include "vlm/regstore/store.h"

#include <ntddk.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace vlm::nt::cm {

// Body of a "Key" object. Every successful open or create makes a new one,
// as Windows gives each open its own key body: the handle's object names
// the key by row id, and a row id is never reused, so a key deleted by any
// process shows up as a missing row (STATUS_KEY_DELETED) on every other
// handle. No access is checked on key handles: every caller of these
// routines is kernel mode, for which Windows checks none either.
struct KeyObject {
    KeyId id;
};

// The "Key" object type, created once per process.
POBJECT_TYPE CmpKeyType();

// The store the running kernel opened; null before CmInitSystem and after
// CmShutdownSystem. Callers keep the pointer for the length of one call,
// so a shutdown never pulls the connection from under them.
std::shared_ptr<Store> CmpStore();

// Registry routines run at PASSIVE_LEVEL; above APC_LEVEL is a bug check.
void CmpCheckIrql();

// The NT status for a store result. IoError is logged with its cause.
NTSTATUS CmpStatus(StoreStatus status, const char* routine);

// A key object referenced from a handle for the length of one routine.
class KeyReference {
public:
    KeyReference() = default;
    ~KeyReference();
    KeyReference(const KeyReference&) = delete;
    KeyReference& operator=(const KeyReference&) = delete;

    // STATUS_INVALID_HANDLE, or STATUS_OBJECT_TYPE_MISMATCH for a handle
    // that is not a key's.
    NTSTATUS Acquire(HANDLE handle);
    KeyId Id() const { return static_cast<const KeyObject*>(object_)->id; }

private:
    PVOID object_ = nullptr;
};

// A new key object for row id, and a kernel handle to it.
NTSTATUS CmpOpenKeyHandle(KeyId id, ACCESS_MASK access, PHANDLE handle);

// Splits ObjectAttributes into the key the name starts from and the
// remaining components (UTF-8). Absolute names start with \REGISTRY;
// relative ones start at RootDirectory (a key handle, referenced in root
// for as long as the caller needs it). Separators that repeat or end the
// name are skipped, as the registry's own parse does.
NTSTATUS CmpParseObjectAttributes(const Store& store, POBJECT_ATTRIBUTES attributes, KeyReference* root, KeyId* base,
        std::vector<std::string>* path);
// The same for a UTF-8 native path (\REGISTRY\...).
NTSTATUS CmpParseNativePath(
        const Store& store, std::string_view path, KeyId* base, std::vector<std::string>* components);

// ------------------------------------------------------- buffer rules
//
// How every query routine hands its result back, as Windows does:
// *ResultLength always receives the full size needed; a buffer shorter
// than the fixed part (up to the variable array) gets
// STATUS_BUFFER_TOO_SMALL and is not written; a buffer holding the fixed
// part but not everything gets STATUS_BUFFER_OVERFLOW with the fixed part
// filled and each variable piece (name, class, data) copied as far as the
// buffer reaches; otherwise STATUS_SUCCESS.

struct InfoPiece {
    ULONG offset;
    const void* data;
    ULONG size;
};
NTSTATUS CmpCopyInformation(PVOID buffer, ULONG length, PULONG resultLength, const void* fixed, ULONG fixedSize,
        ULONG total, std::initializer_list<InfoPiece> pieces);

// Variable parts that follow a name start on a ULONG boundary (DataOffset
// of KEY_VALUE_FULL_INFORMATION, ClassOffset of KEY_NODE_INFORMATION).
constexpr ULONG CmpAlignUlong(ULONG offset)
{
    return (offset + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
}
// Offset fields of absent parts (no class, no data).
inline constexpr ULONG kNoOffset = 0xFFFFFFFF;

NTSTATUS CmpFillKeyInformation(KEY_INFORMATION_CLASS infoClass, const KeyRecord& key, const KeyCounts* counts,
        PVOID buffer, ULONG length, PULONG resultLength);
NTSTATUS CmpFillKeyName(const std::string& path, PVOID buffer, ULONG length, PULONG resultLength);
NTSTATUS CmpFillValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass, const ValueRecord& value, PVOID buffer,
        ULONG length, PULONG resultLength);

}  // namespace vlm::nt::cm
