// Kernel start-up and shutdown: the subsystems in dependency order.
#include "kernel.h"

#include <vlm/kernel.h>

#include <cstdio>
#include <filesystem>

namespace vlm::nt {
namespace {

bool g_running;
std::string g_systemRoot;

}  // namespace

NTSTATUS KernelStart(const KernelOptions& options)
{
    if (g_running)
        return STATUS_INVALID_DEVICE_STATE;
    std::error_code ec;
    std::filesystem::create_directories(options.systemRoot, ec);
    if (ec) {
        fprintf(stderr, "kernel: cannot create system root %s: %s\n", options.systemRoot.c_str(), ec.message().c_str());
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    KeSetClockSpeedup(options.clockSpeedup);
    KeInitSystem();
    ObInitSystem();
    NTSTATUS status = CmInitSystem(options.systemRoot);
    if (!NT_SUCCESS(status)) {
        ObShutdownSystem();
        return status;
    }
    IoInitSystem();
    status = TdiInitSystem();
    if (!NT_SUCCESS(status)) {
        IoShutdownSystem();
        ObShutdownSystem();
        CmShutdownSystem();
        return status;
    }
    PnpInitSystem();
    g_systemRoot = options.systemRoot;
    g_running = true;
    return STATUS_SUCCESS;
}

void KernelShutdown()
{
    if (!g_running)
        return;
    PnpShutdownSystem();
    TdiShutdownSystem();
    IoShutdownSystem();
    PsShutdownSystem();  // threads still leaving are waited for before the leak checks
    ObShutdownSystem();
    CmShutdownSystem();
    g_running = false;
}

bool KernelRunning()
{
    return g_running;
}

const std::string& KernelSystemRoot()
{
    return g_systemRoot;
}

}  // namespace vlm::nt
