// Nobody outside the port group can stall vlmhost through its files: a
// stranger can open no file under the root (so can take no flock and no
// SQLite lock), a member of the port group can open the registry's files
// but not the locks, files left open to others are mended at the next
// start, and a lock file a stranger opened back then no longer matters.
#include "ending_listener.h"
#include "raw_client.h"
#include "stranger.h"
#include "vlmhost_fixture.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

namespace vlm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class VlmHostRootFiles : public VlmHostIpc {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the test plays a user of its own (uid " << kStrangerUid << ")";
        VlmHostIpc::SetUp();
        // As a system root is: anyone may look in (mkdtemp made it 0700,
        // which would shut the stranger out whatever the files' modes).
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    }
    std::vector<std::string> Args()
    {
        return {"--root", root_, "--create-port", "COM3", "--no-pty", "--group", std::to_string(kPortGroup)};
    }
    // Every regular file under the root.
    std::vector<std::string> Files()
    {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root_))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
        return files;
    }
    static std::string Name(const std::string& path) { return std::filesystem::path(path).filename().string(); }
    struct stat Stat(const std::string& name)
    {
        struct stat st { };
        EXPECT_EQ(stat((root_ + "/" + name).c_str(), &st), 0) << name;
        return st;
    }
};

TEST_F(VlmHostRootFiles, AStrangerCanOpenNoFileUnderTheRootAndPortsOpenAtOnce)
{
    EndingListener printer;
    Assign(printer.port());
    Host host(Args());
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();

    std::vector<std::string> files = Files();
    std::set<std::string> names;
    for (const auto& file : files)
        names.insert(Name(file));
    for (const char* name : {"vlmhost.lock", "devinst.lock", "registry.db", "registry.db-wal", "registry.db-shm"})
        EXPECT_TRUE(names.count(name)) << name << " is not under the root";

    // Read-only would be enough for flock and for SQLite's WAL locks.
    Stranger stranger(files, kStrangerUid, kStrangerGid, {});
    for (size_t i = 0; i < files.size(); ++i) {
        int opened = stranger.Do(Stranger::Op::Open, i);
        EXPECT_EQ(opened, EACCES) << files[i];
        if (opened == 0) {
            EXPECT_NE(stranger.Do(Stranger::Op::Flock, i), 0) << files[i];
            EXPECT_NE(stranger.Do(Stranger::Op::WalWriteLock, i), 0) << files[i];
        }
    }

    // A member of the port group reads the registry, and can lock no lock file.
    Stranger member(files, kStrangerUid, kStrangerGid, {kPortGroup});
    for (size_t i = 0; i < files.size(); ++i) {
        std::string name = Name(files[i]);
        bool registry = name.rfind("registry.db", 0) == 0;
        EXPECT_EQ(member.Do(Stranger::Op::Open, i), registry ? 0 : EACCES) << name;
    }

#ifdef VLMREG_PATH
    // The registry's own tool, run by the stranger, is told so at once.
    std::string output;
    auto asked = Clock::now();
    int status = RunAs(kStrangerUid, kStrangerGid, {}, {VLMREG_PATH, "QUERY", "HKLM\\SOFTWARE"},
            "VLM_SYSTEM_ROOT=" + root_, &output);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("ERROR: Access is denied."), std::string::npos) << output;
    EXPECT_LT(Clock::now() - asked, 5s);

    // Root's registry write right after is not held up.
    output.clear();
    auto write = Clock::now();
    status = RunAs(0, 0, {},
            {VLMREG_PATH, "ADD", "HKLM\\SOFTWARE\\Probe", "/v", "Written", "/t", "REG_DWORD", "/d", "1", "/f"},
            "VLM_SYSTEM_ROOT=" + root_, &output);
    auto wrote = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - write);
    EXPECT_EQ(status, 0) << output;
    printf("registry write by root (vlmreg ADD) after the stranger's attempts: %lld ms\n",
            static_cast<long long>(wrote.count()));
    EXPECT_LT(wrote, 2s);
#endif

    // Each open of the port writes the registry (the driver's SERIALCOMM entry).
    RawClient client(SocketPath());
    ASSERT_TRUE(client.Hello());
    auto start = Clock::now();
    uint32_t handle = 0;
    ASSERT_EQ(client.Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << host.output();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    printf("open of COM3 by root, a stranger having tried every file: %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_LT(took, 2s);
}

TEST_F(VlmHostRootFiles, FilesLeftOpenToOthersAreMendedAtStartAndALockFileAStrangerHeldNoLongerCounts)
{
    {
        Host once({"--root", root_, "--once"});
        ASSERT_EQ(once.Wait(), 0) << once.output();
    }
    // As an earlier version left them.
    std::vector<std::string> registry;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string path = root_ + "/registry.db" + suffix;
        if (chmod(path.c_str(), 0666) == 0)
            registry.push_back(path);
    }
    ASSERT_FALSE(registry.empty());
    ASSERT_EQ(chmod((root_ + "/vlmhost.lock").c_str(), 0644), 0);
    int devinst = open((root_ + "/devinst.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(devinst, 0);
    ASSERT_EQ(fchmod(devinst, 0666), 0);
    close(devinst);

    // The stranger opened the lock file while it could.
    std::string lock = root_ + "/vlmhost.lock";
    Stranger stranger({lock, lock, root_ + "/devinst.lock", registry[0]}, kStrangerUid, kStrangerGid, {});
    ASSERT_EQ(stranger.Do(Stranger::Op::Open, 0), 0);

    {
        Host first(Args());
        ASSERT_TRUE(first.WaitFor("serving")) << first.output();
        const std::string& out = first.output();
        EXPECT_NE(out.find(lock + " was open to others: replaced"), std::string::npos) << out;
        EXPECT_NE(out.find(root_ + "/devinst.lock was mode 0666 uid 0 gid 0: now mode 0600 uid 0 gid 0"),
                std::string::npos)
                << out;
        for (const auto& path : registry)
            EXPECT_NE(out.find(path + " was mode 0666"), std::string::npos) << path << "\n" << out;
        for (const char* name : {"vlmhost.lock", "devinst.lock"}) {
            struct stat st = Stat(name);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
            EXPECT_EQ(st.st_uid, 0u) << name;
        }
        for (const auto& path : registry) {
            struct stat st = Stat(Name(path));
            EXPECT_EQ(st.st_mode & 0007, 0u) << path;
            EXPECT_EQ(st.st_gid, kPortGroup) << path;
        }
        // What it opened before is no longer the lock; nothing new opens.
        EXPECT_EQ(stranger.Do(Stranger::Op::Flock, 0), 0);
        EXPECT_EQ(stranger.Do(Stranger::Op::Open, 1), EACCES);
        EXPECT_EQ(stranger.Do(Stranger::Op::Open, 2), EACCES);
        EXPECT_EQ(stranger.Do(Stranger::Op::Open, 3), EACCES);
        first.Signal(SIGTERM);
        EXPECT_EQ(first.Wait(), 0) << first.output();
    }
    // The stranger still holds its flock: the next vlmhost serves all the same.
    Host second(Args());
    EXPECT_TRUE(second.WaitFor("serving")) << second.output();
    EXPECT_EQ(second.output().find("was open to others"), std::string::npos) << second.output();
    EXPECT_EQ(second.output().find(" was mode "), std::string::npos) << second.output();
}

}  // namespace
}  // namespace vlm::test
