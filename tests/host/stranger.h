// Another user's program for the tests of who may touch vlmhost's files:
// a child process that takes a uid and groups of its own (the parent must
// be root) and, on the parent's word, opens files and takes locks on them,
// holding what it got until it is told to end. The parent has threads, so
// the child makes only system calls after fork().
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace vlm::test {

// A uid and a group no account uses: the test's own stranger, and the
// group it makes the port group.
constexpr uid_t kStrangerUid = 61017;
constexpr gid_t kStrangerGid = 61017;
constexpr gid_t kPortGroup = 61018;

class Stranger {
public:
    enum class Op : char { Open = 'o', Flock = 'l', WalWriteLock = 's' };

    // `paths` are the files it may be asked about, by index.
    Stranger(std::vector<std::string> paths, uid_t uid, gid_t gid, std::vector<gid_t> groups) : paths_(std::move(paths))
    {
        int down[2], up[2];
        if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(down[1]);
            close(up[0]);
            if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
                _exit(255);
            Serve(down[0], up[1]);
            _exit(0);
        }
        close(down[0]);
        close(up[1]);
        to_ = down[1];
        from_ = up[0];
    }
    ~Stranger()
    {
        close(to_);  // the child ends at the end of its commands
        close(from_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;

    // 0 when it worked, else the errno; -1 when the child did not answer
    // within 10 s (a lock that blocks is taken without waiting, so it never should).
    int Do(Op op, size_t index)
    {
        char command[2] = {char(op), char(index)};
        if (write(to_, command, 2) != 2)
            return -1;
        pollfd p{from_, POLLIN, 0};
        int32_t result = -1;
        if (poll(&p, 1, 10000) != 1 || read(from_, &result, sizeof result) != sizeof result)
            return -1;
        return result;
    }

private:
    void Serve(int in, int out)
    {
        std::vector<int> fds(paths_.size(), -1);
        char command[2];
        while (read(in, command, 2) == 2) {
            size_t index = size_t(uint8_t(command[1]));
            int32_t result = 0;
            if (index >= fds.size()) {
                result = EINVAL;
            } else if (command[0] == char(Op::Open)) {
                // Read-only is enough for either lock.
                fds[index] = open(paths_[index].c_str(), O_RDONLY | O_NOFOLLOW);
                result = fds[index] < 0 ? errno : 0;
            } else if (command[0] == char(Op::Flock)) {
                result = flock(fds[index], LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
            } else {
                // SQLite's WAL write lock: byte 120 of the -shm file, which
                // a shared lock on a read-only descriptor holds off.
                struct flock lock { };
                lock.l_type = F_RDLCK;
                lock.l_whence = SEEK_SET;
                lock.l_start = 120;
                lock.l_len = 1;
                result = fcntl(fds[index], F_SETLK, &lock) == 0 ? 0 : errno;
            }
            if (write(out, &result, sizeof result) != sizeof result)
                return;
        }
    }

    std::vector<std::string> paths_;
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

// Runs `argv` as the given user with `environment` added, its output
// (standard output and error) in *output; the exit status, -1 when it did
// not end within 10 s (it is killed then).
inline int RunAs(uid_t uid, gid_t gid, std::vector<gid_t> groups, std::vector<std::string> argv,
        const std::string& environment, std::string* output)
{
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    std::string env = environment;
    char* envp[] = {env.data(), nullptr};
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0 || setgroups(groups.size(), groups.data()) != 0 ||
                setgid(gid) != 0 || setuid(uid) != 0)
            _exit(255);
        execve(args[0], args.data(), envp);
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    char buffer[512];
    pollfd p{out[0], POLLIN, 0};
    // Until the child's end closes the pipe, 10 s at most.
    for (int rounds = 0; rounds < 100 && poll(&p, 1, 100) >= 0; ++rounds) {
        if (!p.revents)
            continue;
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        output->append(buffer, size_t(n));
    }
    close(out[0]);
    // Its output ended; its exit follows, 5 s at most.
    int status = 0;
    pid_t ended = 0;
    for (int rounds = 0; rounds < 500 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++rounds)
        usleep(10000);
    if (ended != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vlm::test
