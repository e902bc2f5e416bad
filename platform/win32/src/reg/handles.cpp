// The process's registry connection and key handles.
//
// Who may write is decided by the database file's permissions: a caller
// that cannot write the file (an ordinary user, as the file belongs to
// root or the administrator) opens it read-only, and every change then
// fails with ERROR_ACCESS_DENIED, as Windows refuses writes under
// HKEY_LOCAL_MACHINE to non-administrators. HKEY_CURRENT_USER lives in the
// same file, so it is read-only for such a caller too.
#include "reg/regp.h"
#include "base/systemroot.h"

#include "vlm/win32.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace vlm::win32::reg {
namespace {

struct OpenKey {
    KeyId key;
    REGSAM access;
};

struct RegistryState {
    std::mutex lock;  // guards every member below
    std::shared_ptr<Store> store;
    bool readOnly = false;
    bool simulateNonAdministrator = false;
    // Handle values are small multiples of 4, never reused within a
    // connection, so a stale HKEY is ERROR_INVALID_HANDLE rather than
    // another caller's key.
    std::unordered_map<uintptr_t, OpenKey> handles;
    uintptr_t nextHandle = 4;
};

RegistryState& State()
{
    static RegistryState state;
    return state;
}

// Called with State().lock held.
LONG OpenStoreLocked(RegistryState& state)
{
    if (state.store)
        return ERROR_SUCCESS;
    std::string root = SystemRoot();
    std::string file = root + "/registry.db";
    bool readOnly = state.simulateNonAdministrator;
    if (!readOnly)
        readOnly = access(file.c_str(), F_OK) == 0 ? access(file.c_str(), W_OK) != 0 : access(root.c_str(), W_OK) != 0;
    std::unique_ptr<Store> store;
    StoreStatus status = Store::Open(file, &store, readOnly);
    if (status != StoreStatus::Ok) {
        // The error code cannot say which file or why; the program's user is told.
        fprintf(stderr, "vlm: registry: %s\n", Store::LastError().c_str());
        // A reader the file itself is closed to is denied as a writer is.
        bool denied = status == StoreStatus::AccessDenied && (!readOnly || access(file.c_str(), R_OK) != 0);
        return denied ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
    }
    state.store = std::move(store);
    state.readOnly = readOnly;
    return ERROR_SUCCESS;
}

uintptr_t HandleValue(HKEY hKey)
{
    return reinterpret_cast<uintptr_t>(hKey);
}

// The native paths of the predefined keys.
const std::vector<std::string>* PredefinedPath(HKEY hKey)
{
    static const std::vector<std::string> classes{"MACHINE", "SOFTWARE", "Classes"};
    static const std::vector<std::string> currentUser{"USER", ".DEFAULT"};
    static const std::vector<std::string> machine{"MACHINE"};
    static const std::vector<std::string> users{"USER"};
    if (hKey == HKEY_CLASSES_ROOT)
        return &classes;
    if (hKey == HKEY_CURRENT_USER)
        return &currentUser;
    if (hKey == HKEY_LOCAL_MACHINE)
        return &machine;
    if (hKey == HKEY_USERS)
        return &users;
    return nullptr;
}

}  // namespace

bool RegpIsPredefined(HKEY hKey)
{
    return PredefinedPath(hKey) != nullptr;
}

namespace {

LONG Resolve(HKEY hKey, KeyContext* context)
{
    RegistryState& state = State();
    {
        std::lock_guard guard(state.lock);
        if (LONG error = OpenStoreLocked(state); error != ERROR_SUCCESS)
            return error;
        context->store = state.store;
        context->readOnly = state.readOnly;
        if (!RegpIsPredefined(hKey)) {
            auto found = state.handles.find(HandleValue(hKey));
            if (found == state.handles.end())
                return ERROR_INVALID_HANDLE;
            context->key = found->second.key;
            context->access = found->second.access;
            return ERROR_SUCCESS;
        }
    }
    // Predefined keys are resolved on every use: one may be deleted and
    // re-created (HKEY_CLASSES_ROOT) by another process meanwhile.
    const std::vector<std::string>& path = *PredefinedPath(hKey);
    Store& store = *context->store;
    StoreStatus status = store.OpenKey(store.Root(), path, &context->key);
    if (status == StoreStatus::NotFound && !context->readOnly) {
        // SOFTWARE\Classes is not one of the store's fixed keys; Windows
        // always has it, so it is made on first use.
        vlm::nt::cm::CreateOptions options;
        options.createIntermediates = true;
        bool created = false;
        status = store.CreateKey(store.Root(), path, options, &context->key, &created);
    }
    context->access = KEY_ALL_ACCESS;
    return RegpStatusToError(status);
}

}  // namespace

LONG RegpRequire(const KeyContext& context, REGSAM rights)
{
    return (context.access & rights) == rights ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LONG RegpReference(HKEY hKey, REGSAM rights, KeyContext* context)
{
    if (LONG error = Resolve(hKey, context); error != ERROR_SUCCESS)
        return error;
    return RegpRequire(*context, rights);
}

LONG RegpInsertHandle(const KeyContext& context, KeyId key, REGSAM access, HKEY* handle)
{
    RegistryState& state = State();
    std::lock_guard guard(state.lock);
    if (state.store != context.store)
        return ERROR_INVALID_HANDLE;  // the registry was reset under the call
    uintptr_t value = state.nextHandle;
    state.nextHandle += 4;
    state.handles.emplace(value, OpenKey{key, access});
    *handle = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

LONG RegpCloseHandle(HKEY hKey)
{
    RegistryState& state = State();
    std::lock_guard guard(state.lock);
    return state.handles.erase(HandleValue(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegpStatusToError(StoreStatus status)
{
    switch (status) {
    case StoreStatus::Ok:
        return ERROR_SUCCESS;
    case StoreStatus::NotFound:
        return ERROR_FILE_NOT_FOUND;
    case StoreStatus::KeyDeleted:
        return ERROR_KEY_DELETED;
    // Windows refuses to delete a key with subkeys, or a hive root, as an
    // access check.
    case StoreStatus::HasSubkeys:
    case StoreStatus::Protected:
    case StoreStatus::AccessDenied:
        return ERROR_ACCESS_DENIED;
    case StoreStatus::NameInvalid:
        return ERROR_BADKEY;
    case StoreStatus::ParameterInvalid:
        return ERROR_INVALID_PARAMETER;
    case StoreStatus::NoMoreEntries:
        return ERROR_NO_MORE_ITEMS;
    case StoreStatus::IoError:
        return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_REGISTRY_IO_FAILED;
}

}  // namespace vlm::win32::reg

namespace vlm::win32 {

void RegistryReset()
{
    reg::RegistryState& state = reg::State();
    std::lock_guard guard(state.lock);
    state.handles.clear();
    state.store.reset();
}

void RegistrySimulateNonAdministrator(bool on)
{
    reg::RegistryState& state = reg::State();
    std::lock_guard guard(state.lock);
    state.simulateNonAdministrator = on;
}

size_t RegistryOpenHandles()
{
    reg::RegistryState& state = reg::State();
    std::lock_guard guard(state.lock);
    return state.handles.size();
}

}  // namespace vlm::win32
