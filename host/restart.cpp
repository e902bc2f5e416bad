#include "restart.h"

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::host {
namespace {

std::atomic<bool> g_restartRequested{false};

// Descriptors are inherited by an exec unless marked; the new vlmhost
// must find the root's lock free and no stale socket, pty or database
// descriptor of ours.
void CloseOnExecAbove2()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    DIR* directory = opendir("/proc/self/fd");
    if (!directory) {
        Log("restart: cannot list the open descriptors: %s", strerror(errno));
        return;
    }
    const int own = dirfd(directory);
    while (dirent* entry = readdir(directory)) {
        int fd = atoi(entry->d_name);
        if (fd > 2 && fd != own)
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    closedir(directory);
}

// Takes what is pending of `signals` without waiting; the first one, or 0.
int TakePending(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals)
        sigaddset(&set, signal);
    timespec now{0, 0};
    int first = 0;
    for (int i = 0; i < 8; ++i) {  // each signal is pending at most once
        int taken = sigtimedwait(&set, nullptr, &now);
        if (taken <= 0)
            break;
        if (first == 0)
            first = taken;
    }
    return first;
}

// The program file vlmhost was started from. An upgrade that replaced it
// since leaves the running image "(deleted)": the restart, as a machine's,
// starts what is installed now.
std::string ProgramPath()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string program(path, size_t(n));
    const std::string_view deleted = " (deleted)";
    if (program.size() > deleted.size() && program.ends_with(deleted))
        program.resize(program.size() - deleted.size());
    return program;
}

}  // namespace

void RequestRestart()
{
    if (!g_restartRequested.exchange(true))
        kill(getpid(), kRestartSignal);
}

bool RestartRequested()
{
    return g_restartRequested.load();
}

int StartAgain(int argc, char** argv)
{
    if (int stop = TakePending({SIGTERM, SIGINT})) {
        Log("signal %d during the restart: stopping instead", stop);
        return 0;
    }
    // A SIGHUP's enumeration is the new start's own work; a second restart
    // request is this one.
    TakePending({SIGHUP, kRestartSignal});

    std::vector<std::string> args;
    args.emplace_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--create-port") {
            ++i;
            continue;
        }
        args.emplace_back(argv[i]);
    }
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    std::string program = ProgramPath();
    Log("restarting: vlmhost starts again as pid %d", int(getpid()));
    fflush(nullptr);
    CloseOnExecAbove2();
    if (!program.empty())
        execv(program.c_str(), pointers.data());
    // Gone for good: the running image itself, or where /proc is missing,
    // what argv[0] names.
    int cause = errno;
    execv("/proc/self/exe", pointers.data());
    execvp(argv[0], pointers.data());
    Log("restart failed: cannot execute %s again: %s", program.empty() ? argv[0] : program.c_str(), strerror(cause));
    return 1;
}

}  // namespace vlm::host
