// Asking a running vlmhost to start or remove device nodes at once.
#pragma once

#include "ipc/client.h"

#include <cstdint>
#include <string>

namespace vlm::win32::setup {

// NTSTATUS values vlmhost answers with.
inline constexpr int32_t kStatusDeviceBusy = int32_t(0x80000011);
inline constexpr int32_t kStatusNoSuchDevice = int32_t(0xC000000E);
inline constexpr int32_t kStatusDeletePending = int32_t(0xC0000056);
inline constexpr int32_t kStatusAccessDenied = int32_t(0xC0000022);

struct HostAnswer {
    ipc::CallError error = ipc::CallError::None;
    int32_t status = 0;  // when error == None
    uint64_t information = 0;
};

// Brings up every root device node vlmhost has not started yet.
HostAnswer SetpHostEnumerate();
// Orderly removal of one node; an open port vetoes it (kStatusDeviceBusy).
HostAnswer SetpHostRemove(const std::string& instanceId);

}  // namespace vlm::win32::setup
