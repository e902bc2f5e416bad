// vlmhost's restart, the machine's "restart the computer": asked for over
// IPC (ExitWindowsEx on the user side), carried out by the main thread after
// the same orderly stop as SIGTERM's (every program's ports closed, every
// device removed), by executing vlmhost again in the same process. The pid
// stays, so a service manager watching it (systemd's main pid) sees one
// service running on.
#pragma once

#include <csignal>

namespace vlm::host {

// The signal RequestRestart wakes the main thread's signal wait with; the
// main thread blocks and waits for it among its others. On its own, from
// anyone else, it restarts nothing.
inline constexpr int kRestartSignal = SIGUSR1;

// Records that a restart is wanted and wakes the main thread. Any thread;
// asking twice restarts once.
void RequestRestart();
bool RestartRequested();

// Called by the main thread once everything has stopped: executes vlmhost
// again with the arguments it was started with, on the same root, except
// --create-port, a first start's seed (a node removed before the restart
// must stay removed). Every descriptor but the standard three goes with
// the exec, the root's lock included, which the new start takes again. A
// stop asked for meanwhile (SIGTERM, SIGINT) wins: then nothing starts and
// 0 is returned. Returns 1 when vlmhost cannot be executed again.
int StartAgain(int argc, char** argv);

}  // namespace vlm::host
