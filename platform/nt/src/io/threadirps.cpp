// Threaded requests. The IRPs IoBuildDeviceIoControlRequest and
// IoBuildSynchronousFsdRequest build belong to the thread that builds
// them, as in Windows, where the I/O manager cancels them when that thread
// exits: a driver blocked in a transport request of its own on behalf of
// a caller that is gone must not stay blocked for that caller.
#include "io/iop.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

namespace vlm::nt::io {
namespace {

// Guards g_threadIrps. Held only to link, unlink and collect; nothing is
// called with it held but the reference taken on a collected IRP, which
// is safe because an IRP leaves the list before its last reference goes.
std::mutex g_threadIrpsLock;
std::multimap<pid_t, PIRP> g_threadIrps;

}  // namespace

void QueueThreadIrp(PIRP irp)
{
    IrpPrivate* priv = PrivateOf(irp);
    std::lock_guard guard(g_threadIrpsLock);
    priv->thread = gettid();
    g_threadIrps.emplace(priv->thread, irp);
}

void DequeueThreadIrp(PIRP irp)
{
    IrpPrivate* priv = PrivateOf(irp);
    std::lock_guard guard(g_threadIrpsLock);
    if (priv->thread == 0)
        return;
    auto [first, last] = g_threadIrps.equal_range(priv->thread);
    for (auto it = first; it != last; ++it) {
        if (it->second == irp) {
            g_threadIrps.erase(it);
            break;
        }
    }
    priv->thread = 0;
}

}  // namespace vlm::nt::io

size_t vlm::nt::IoCancelThreadRequests(pid_t threadId)
{
    std::vector<PIRP> irps;
    {
        std::lock_guard guard(io::g_threadIrpsLock);
        auto [first, last] = io::g_threadIrps.equal_range(threadId);
        for (auto it = first; it != last; ++it) {
            ob::ReferenceInternal(io::PrivateOf(it->second));
            irps.push_back(it->second);
        }
    }
    // Cancel routines run without our lock: they may complete the request,
    // which takes it off the list.
    size_t cancelled = 0;
    for (PIRP irp : irps) {
        if (IoCancelIrp(irp))
            ++cancelled;
        ob::DereferenceInternal(io::PrivateOf(irp));
    }
    return cancelled;
}
