// The user side's one connection to vlmhost, shared by every thread of the
// process: the port functions (CreateFileA on COMn, ReadFile, the Comm
// functions...) and device installation (SetupAPI asking vlmhost to start
// or remove a node) all send their requests through it.
//
// The connection is opened at the first call, to the socket under
// $VLM_SYSTEM_ROOT (default /var/lib/vlm), and greeted with Hello. Any
// number of threads may have a call outstanding at once; each waits only
// for its own reply. When vlmhost goes away every outstanding call fails
// and the next call reconnects. When vlmhost closes an idle connection
// (Goodbye), a call caught on its way is sent again on a new connection:
// vlmhost did not carry it out.
#pragma once

#include "vlm/ipc/protocol.h"

#include <cstdint>
#include <span>

namespace vlm::win32::ipc {

enum class CallError {
    None,
    Unreachable,  // no vlmhost listening on the socket (ENOENT, ECONNREFUSED)
    Refused,      // vlmhost refused this caller (credentials, version, no room)
    Lost,         // the connection broke before the reply came
};

struct CallResult {
    CallError error = CallError::None;
    // Valid when error == None. For Refused, reply.status is the status
    // vlmhost refused with (0 when it gave none: the socket's permissions,
    // another protocol version).
    vlm::ipc::Reply reply;
    // Which connection the call went over (see CallOn); 0 when none.
    uint64_t generation = 0;
};

// Sends one request and waits for its reply.
CallResult Call(vlm::ipc::Op op, uint32_t handle, std::span<const uint8_t> payload);

// As Call, but only over the connection numbered `generation` (a
// CallResult's). Handles vlmhost gave out live only as long as the
// connection that made them: once it is gone this fails with Lost and
// sends nothing, so a stale handle cannot name another one's port.
CallResult CallOn(uint64_t generation, vlm::ipc::Op op, uint32_t handle, std::span<const uint8_t> payload);

// Drops the connection (outstanding calls fail with Lost); the next Call
// connects afresh, to the system root the environment names then. For a
// process (a test) that switches system roots.
void Disconnect();

}  // namespace vlm::win32::ipc
