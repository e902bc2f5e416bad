// A program of another user, played by a child process that takes uid
// nobody and the groups it is given (needs root). The child runs only
// system calls: the parent has threads, so nothing else is safe after
// fork().
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vlm::test {

constexpr uid_t kNobody = 65534;

// Opens `path` as nobody (primary group `primary`, supplementary `groups`)
// and, if that worked, writes `bytes` to it and closes it. Returns 0, or
// the errno of the open or the write; -1 if the child did not report
// within 10 s.
inline int OpenAsNobody(
        const std::string& path, gid_t primary, std::vector<gid_t> groups, const std::string& bytes = {})
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(primary) != 0 || setuid(kNobody) != 0)
            _exit(255);
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            _exit(errno);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                _exit(errno);
            done += size_t(n);
        }
        close(fd);
        _exit(0);
    }
    if (pid < 0)
        return -1;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd >= 0)
        poll(&p, 1, 10000);
    int status = 0;
    if (pidfd < 0 || p.revents == 0)
        kill(pid, SIGKILL);  // bounds the test when the child hangs
    if (pidfd >= 0)
        close(pidfd);
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vlm::test
