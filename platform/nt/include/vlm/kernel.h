// The kernel's own control surface, for vlmhost and the tests: boot and
// shut down, the linked-in driver table, Plug and Play of root nodes, the
// time base, and the accounting that lets a test prove nothing leaked.
// Drivers never include this header.
#pragma once

#include <ntddk.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::nt {

// ---------------------------------------------------------------- boot

struct KernelOptions {
    std::string systemRoot;     // holds registry.db; created if missing
    double clockSpeedup = 1.0;  // >1 makes every kernel time-out pass faster
};

// Opens the registry under the system root, empties the volatile HARDWARE
// subtree, and builds the object namespace. One kernel per process.
NTSTATUS KernelStart(const KernelOptions& options);
// Removes every device node (query-remove + remove), unloads the drivers,
// closes the registry and forgets the namespace. Safe to call twice.
void KernelShutdown();
bool KernelRunning();
// The system root the running kernel uses.
const std::string& KernelSystemRoot();

// ---------------------------------------------------------------- time

// Every kernel wait and every kernel clock runs this many times faster than
// real time. Production never changes it; tests turn 70 s into 70 ms.
void KeSetClockSpeedup(double speedup);
double KeGetClockSpeedup();

// The clock's interval, in 100 ns units of kernel time: the pace at which
// time-outs end, like a Windows machine's timer resolution. At the minimum,
// 1 ms, every time-out ends at its own deadline, so the driver's 1 ms polls
// run every millisecond. At a longer interval (up to Windows' own 15.625 ms)
// each time-out ends on the first tick at or after its deadline, ticks
// being the interval apart from boot: a 1 ms poll then runs once a tick,
// fewer wake-ups for later ends. No time-out ever ends before its time.
//
// The adaptive clock (the default) runs at the minimum while the machine
// has traffic (a request reaching a device, a request completed, bytes or
// a disconnect indicated by the transport) and at the maximum once there
// has been none for kClockQuietWindow of kernel time, as Windows raises its
// timer resolution only while a program asks for it. Traffic at a coarse
// clock switches it back at once and wakes every wait sleeping on a coarse
// tick to end at its own deadline, so a 1 ms poll asleep when a printer's
// first byte arrives runs within about a millisecond of it.
//
// vlmhost sets the interval at start (--clock-interval). A wait asleep
// ends by the interval in force when it went to sleep, except that the
// adaptive clock's switch back wakes it.
inline constexpr LONGLONG kClockIntervalMinimum = 10000;   // 1 ms
inline constexpr LONGLONG kClockIntervalMaximum = 156250;  // 15.625 ms
inline constexpr LONGLONG kClockIntervalAdaptive = 0;      // the default
inline constexpr LONGLONG kClockQuietWindow = 10000000;    // 1 s
// False, and the setting unchanged, for anything but minimum..maximum or
// kClockIntervalAdaptive.
bool KeSetClockInterval(LONGLONG interval);
// The setting: an interval, or kClockIntervalAdaptive.
LONGLONG KeGetClockInterval();
// The interval time-outs end on now: the setting, or for the adaptive
// clock the minimum or the maximum by the traffic of the last window.
LONGLONG KeQueryClockIntervalInForce();
// Traffic, for the adaptive clock: the machine is busy for the next
// kClockQuietWindow. Cheap enough for every request; called by the I/O
// manager and the transport, and by tests.
void KeNoteClockTraffic();
// Milliseconds with up to three decimals ("1", "15.625") in 100 ns units,
// or "adaptive" (kClockIntervalAdaptive); -1 for any other text and for
// values outside minimum..maximum.
LONGLONG KeClockIntervalFromText(std::string_view text);

// ------------------------------------------------------------- threads

// A thread's exit status: STATUS_PENDING while it runs, then what its start
// routine left (STATUS_SUCCESS on return, or PsTerminateSystemThread's).
NTSTATUS PsGetThreadExitStatus(PETHREAD thread);

// ---------------------------------------------------------------- pool

struct PoolUsage {
    int64_t blocks = 0;
    int64_t bytes = 0;
};
// Outstanding (allocated, not yet freed) blocks per tag.
std::map<ULONG, PoolUsage> ExPoolSnapshot();
PoolUsage ExPoolOutstanding(ULONG tag);
PoolUsage ExPoolOutstandingTotal();
// Make allocations fail: of those matching tag (0 = any tag), let `skip`
// succeed, then fail the next `count`. Cleared by ExPoolClearFailures.
void ExPoolFailAllocations(ULONG tag, uint32_t skip, uint32_t count);
void ExPoolClearFailures();
// "TdiE" -> 0x45696454: tag bytes in memory order.
constexpr ULONG PoolTag(const char (&t)[5])
{
    return ULONG(uint8_t(t[0])) | ULONG(uint8_t(t[1])) << 8 | ULONG(uint8_t(t[2])) << 16 | ULONG(uint8_t(t[3])) << 24;
}

// ------------------------------------------------------- object manager

struct ObjectCounts {
    int64_t handles = 0;     // open handles, kernel-wide
    int64_t references = 0;  // references taken by ObReference*/Ob*ByHandle not yet dropped
    int64_t objects = 0;     // live objects of every type (devices, files, links, keys, threads...)
    std::map<std::string, int64_t> byType;
};
ObjectCounts ObQueryCounts();

struct SymbolicLinkInfo {
    std::string name;    // e.g. \DosDevices\COM3 (as created)
    std::string target;  // e.g. \Device\00000042
};
// Links whose name begins with prefix (case-insensitive), in name order.
std::vector<SymbolicLinkInfo> ObQuerySymbolicLinks(std::string_view prefix);

// ----------------------------------------------------------------- trace

// DbgPrint output goes to a ring of recent records while tracing is on, and
// also to stderr or a file when asked for. Each DbgPrint call is one record,
// its text exactly as formatted (a partial line stays a record of its own,
// a trailing "\n" or "\r\n" is kept), cut at kKdTraceRecordBytes as
// Windows cuts one call's output. The ring keeps the newest
// kKdTraceRingLines records. The sinks receive the same text unchanged.
inline constexpr size_t kKdTraceRingLines = 4096;
inline constexpr size_t kKdTraceRecordBytes = 512;
void KdSetTraceEnabled(bool enabled);
bool KdTraceEnabled();
void KdSetTraceStderr(bool enabled);
bool KdSetTraceFile(const std::string& path);  // appends; empty path closes the file
std::vector<std::string> KdTraceSnapshot();    // oldest first
void KdTraceClear();

// ------------------------------------------------------------ drivers

// Creates a driver object \Driver\<service> and runs its entry, as the
// kernel does for its own drivers (the TCP transport) and tests do for
// drivers of their own. IoUnloadDriver runs DriverUnload and frees it once
// it has no device left (false while it still has one).
NTSTATUS IoLoadDriver(std::string_view service, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
bool IoUnloadDriver(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- I/O

// Cancels (IoCancelIrp) every read, write and device-control request that
// ZwReadFile, ZwWriteFile or ZwDeviceIoControlFile is waiting for on this
// handle's file object at the time of the call, from any thread, as
// CancelIoEx(handle, NULL) does. A request issued afterwards is not
// affected. Each cancelled request still completes to its own caller, with
// whatever status its driver gives it. A handle that is not a file's
// fails as its lookup does (STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH).
NTSTATUS IoCancelFileRequests(HANDLE fileHandle);

// Cancels every request the thread `threadId` (its gettid()) built with
// IoBuildDeviceIoControlRequest or IoBuildSynchronousFsdRequest, itself or
// in a driver it called, and that has not completed yet: what Windows does
// to a thread's requests when the thread exits. A driver blocked in a send
// of its own on that thread's behalf (a transport request) gets it back
// cancelled. Returns how many requests were cancelled.
size_t IoCancelThreadRequests(pid_t threadId);

// ---------------------------------------------------------- Plug and Play

// The kernel's table of linked-in drivers, looked up by a node's Service.
void PnpRegisterBuiltinDriver(std::string_view service, PDRIVER_INITIALIZE entry);

// Asked about a node before its driver is loaded and started, with its
// instance path (ROOT\PORTS\0000). STATUS_SUCCESS lets it start; any other
// status leaves the node with its physical device object alone and that
// status as its start status, and the node is asked about again at every
// later enumeration. Runs with the Plug and Play manager's lock held, so it
// must not call Plug and Play itself.
using PnpStartCheck = std::function<NTSTATUS(std::string_view instancePath)>;

// Creates a physical device object for every node under
// SYSTEM\CurrentControlSet\Enum\Root\<class>\<instance> that has none yet,
// loads its Service's driver, calls AddDevice and starts it; `check`, if
// given, may hold a node back. Returns the number of nodes newly started.
int PnpEnumerateRoot(const PnpStartCheck& check = {});

enum class PnpRemoval { Orderly, Surprise };
// Orderly: query-remove then remove. Surprise: surprise removal then remove.
NTSTATUS PnpRemoveDevice(std::string_view instancePath, PnpRemoval how);

struct DeviceNodeInfo {
    std::string instancePath;  // Root\PORTS\0000
    std::string pdoName;       // \Device\00000042
    std::string service;       // VLMQUENTARO
    bool started = false;
    NTSTATUS startStatus = STATUS_SUCCESS;  // what the start request returned
};
std::vector<DeviceNodeInfo> PnpQueryDevices();

struct DeviceInterfaceInfo {
    std::string symbolicLink;  // \??\ROOT#PORTS#0000#{86e0d1e0-...}
    std::string instancePath;
    bool enabled = false;
};
std::vector<DeviceInterfaceInfo> PnpQueryInterfaces();

// Root bus behaviour, for tests: the start request of this node's physical
// device object completes with `status`; `asynchronous` completes it from
// another thread after returning STATUS_PENDING.
void PnpRootSetStartBehaviour(std::string_view instancePath, NTSTATUS status, bool asynchronous);

// What the root bus saw of each request that reached a node's physical
// device object, oldest first.
struct PdoRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS statusOnArrival = 0;
    ULONG_PTR informationOnArrival = 0;
};
std::vector<PdoRequest> PnpRootRequestLog(std::string_view instancePath);

// Sends a Plug and Play or power request (not a removal: see
// PnpRemoveDevice) to the top of the node's stack and waits for it.
NTSTATUS PnpSendRequest(std::string_view instancePath, UCHAR major, UCHAR minor);

// The top of a started node's device stack (the function driver's device),
// not referenced: valid until the node is removed. NULL if unknown.
PDEVICE_OBJECT PnpTopOfStack(std::string_view instancePath);

// ------------------------------------------------------------ helpers

std::string WideToUtf8(PCWSTR s, size_t chars);
std::string WideToUtf8(PCWSTR s);
std::string WideToUtf8(const UNICODE_STRING& s);
std::u16string Utf8ToWide(std::string_view s);  // char16_t: same 16-bit units as WCHAR

}  // namespace vlm::nt
