// Starting a program beside the tests or a benchmark: stdin from
// /dev/null, stdout and stderr into one pipe whose read end the caller
// keeps. The one way a child is started; its callers add their waiting.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

extern char** environ;

namespace vlm::support {

// The first of `candidates` that is an executable file; empty if none is.
inline std::string FindProgram(std::initializer_list<const char*> candidates)
{
    for (const char* path : candidates)
        if (access(path, X_OK) == 0)
            return path;
    return {};
}

struct Spawned {
    pid_t pid = -1;   // -1: it could not be started
    int output = -1;  // the pipe's read end, close-on-exec
};

// Runs `path` with `args` (argv[0] is `path`) and `environment` entries
// ("NAME=value") over this process's own, those of the same name replaced.
// `output` false: the child's output goes to /dev/null and no pipe is made.
inline Spawned Spawn(const std::string& path, std::vector<std::string> args,
        const std::vector<std::string>& environment = {}, bool output = true)
{
    Spawned spawned;
    int fds[2] = {-1, -1};
    if (output && pipe2(fds, O_CLOEXEC) != 0)
        return spawned;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : environment)
            replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced)
            env.push_back(std::move(entry));
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&spawned.pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (output)
        close(fds[1]);
    if (rc != 0) {
        spawned.pid = -1;
        if (output)
            close(fds[0]);
        return spawned;
    }
    spawned.output = fds[0];
    return spawned;
}

}  // namespace vlm::support
