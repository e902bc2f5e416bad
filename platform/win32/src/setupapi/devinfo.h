// Internals of device information sets: the sets of this process, their
// elements, and the device tree under HKLM\SYSTEM\CurrentControlSet\Enum.
#pragma once

#include <setupapi.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vlm::win32::setup {

inline constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";

struct PendingProperty {
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct DeviceElement {
    ULONG_PTR serial = 0;    // SP_DEVINFO_DATA.Reserved: names the element within its set
    std::string instanceId;  // Root\PORTS\0000
    GUID classGuid{};
    bool generatedId = false;  // DICD_GENERATE_ID: may be renumbered when registered
    bool registered = false;   // a node in the registry
    bool removed = false;      // DIF_REMOVE took its node away
    // Properties set before registration, written by DIF_REGISTERDEVICE.
    std::map<DWORD, PendingProperty> pending;
    DWORD installFlags = 0;  // DI_* of its install parameters
};

struct DevInfoSet {
    bool hasClass = false;
    GUID classGuid{};
    std::vector<std::unique_ptr<DeviceElement>> elements;
    DWORD installFlags = 0;  // the set's own install parameters
};

// Guards every set and element of the process (the sets' table too).
// Lock order: the installation lock (DevInstLock), then this, then the
// registry's own; vlmhost calls are made without it, on copies.
std::mutex& SetpLock();

// Resolves a handle and element under SetpLock(). ERROR_INVALID_HANDLE,
// ERROR_INVALID_USER_BUFFER (cbSize), ERROR_INVALID_PARAMETER (an element
// not of this set).
DWORD SetpFindSet(HDEVINFO handle, DevInfoSet** set);
DWORD SetpFindElement(HDEVINFO handle, PSP_DEVINFO_DATA data, DevInfoSet** set, DeviceElement** element);
void SetpFillData(const DeviceElement& element, PSP_DEVINFO_DATA data);
// Adds an element to a set (under SetpLock()).
DeviceElement* SetpAddElement(DevInfoSet* set, const std::string& instanceId, const GUID& classGuid);

// Whether an element not yet registered, in any set of this process, uses
// the instance id (under SetpLock()).
bool SetpIdPending(const std::string& instanceId);
// The lowest Root\<device>\NNNN free in the registry, among elements not
// yet registered and among nodes whose removal waits for vlmhost's restart;
// "" when all 10000 are taken. Called under SetpLock().
std::string SetpGenerateId(const std::string& device);

// Every device node under Enum (enumerator\device\instance), in the
// registry's order.
std::vector<std::string> SetpListNodes();
// The node key's path below HKLM.
std::string SetpNodePath(const std::string& instanceId);

// A function succeeds as SetupAPI does: it clears the thread's last error.
BOOL SetpSucceed();
BOOL SetpFail(DWORD error);

}  // namespace vlm::win32::setup
