// "Restart the computer": ExitWindowsEx restarts the real vlmhost. Its open
// ports close in order, it starts again in the same process on the same
// root, removals that waited for the restart take effect, and nobody but
// root and vlmhost's own user can make it happen.
#include "ending_listener.h"
#include "process_support.h"
#include "setup_fixture.h"
#include "token_support.h"

#include <sys/stat.h>

namespace vlm::test {
namespace {

#ifdef VLMHOST_PATH

using namespace std::chrono_literals;

class Restart : public SetupTest {
protected:
    // vlmhost serving this root over IPC, ready for requests; run through
    // `runAs` (a program and its options that execute vlmhost as another
    // user) when given.
    std::unique_ptr<Process> Serve(std::vector<std::string> extra = {}, std::vector<std::string> runAs = {})
    {
        std::vector<std::string> args = {"--root", root_, "--no-pty"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string program = VLMHOST_PATH;
        if (!runAs.empty()) {
            args.insert(args.begin(), VLMHOST_PATH);
            args.insert(args.begin(), runAs.begin() + 1, runAs.end());
            program = runAs.front();
        }
        auto host = std::make_unique<Process>(program, args);
        EXPECT_TRUE(host->WaitFor("ipc listening on", 20s)) << host->output();
        return host;
    }

    static HANDLE OpenPort(const char* name)
    {
        std::string path = std::string("\\\\.\\") + name;
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    static bool Write(HANDLE port, const std::string& bytes)
    {
        DWORD written = 0;
        return WriteFile(port, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    }

    // What vlmhost said from its restart on.
    static std::string SinceRestart(const Process& host)
    {
        size_t at = host.output().find("restarting: ");
        return at == std::string::npos ? std::string() : host.output().substr(at);
    }

    // Whether the lines appear in this order.
    static bool InOrder(const std::string& text, std::initializer_list<const char*> lines)
    {
        size_t at = 0;
        for (const char* line : lines) {
            at = text.find(line, at);
            if (at == std::string::npos)
                return false;
        }
        return true;
    }
};

TEST_F(Restart, ExitWindowsExClosesTheOpenPortsAndVlmhostServesAgainInTheSameProcess)
{
    EndingListener printer;
    WriteAssignment("COM3", printer.port());
    auto host = Serve();
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    ASSERT_TRUE(host->WaitFor("started as COM3")) << host->output();
    HANDLE port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(Write(port, "job\n"));
    ASSERT_TRUE(printer.WaitForBytes(4));

    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0x80020003)) << GetLastError();
    EXPECT_EQ(printer.WaitForEnd(), "fin") << host->output();
    ASSERT_TRUE(host->WaitForCount("ipc listening on", 2)) << host->output();
    const std::string& out = host->output();
    EXPECT_TRUE(InOrder(out,
            {"kernel started on " /* first */, "asked for a restart (reason 0x80020003)",
                    "restart: stopping every port and device first", "disconnected (1 handles closed)",
                    "kernel stopped", "restarting: vlmhost starts again as pid ", "kernel started on ",
                    "started as COM3", "ipc listening on"}))
            << out;

    // The handle went with the old start; the port serves again.
    EXPECT_FALSE(Write(port, "late"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(CloseHandle(port));
    EndingListener next;
    WriteAssignment("COM3", next.port());
    port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Write(port, "again\n"));
    EXPECT_TRUE(next.WaitForBytes(6));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(next.WaitForEnd(), "fin");
    // The process we started is the one serving: it stops as asked.
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(), 0) << host->output();
    EXPECT_EQ(host->Count("kernel started on "), 2u) << host->output();
}

TEST_F(Restart, ANodeRemovedWhileItsPortWasOpenIsGoneAfterTheRestart)
{
    EndingListener printer;
    WriteAssignment("COM3", printer.port());
    // --create-port seeds the first node (mirkatech\quentaro); a restart
    // must not seed it again once it is removed.
    auto host = Serve({"--create-port", "COM3"});
    ASSERT_TRUE(host->WaitFor("started as COM3")) << host->output();
    HANDLE port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    EXPECT_EQ(RemoveAllPortDevices(kQuentaro), 0);
    EXPECT_FALSE(KeyExists(NodePath("Root\\PORTS\\0000")));
    EXPECT_TRUE(host->WaitFor("failed: status 0x80000011")) << host->output();
    EXPECT_TRUE(Write(port, "still printing\n")) << "the device runs until the restart";
    EXPECT_TRUE(printer.WaitForBytes(15));

    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    ASSERT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) << GetLastError();
    EXPECT_EQ(printer.WaitForEnd(), "fin") << host->output();
    ASSERT_TRUE(host->WaitForCount("ipc listening on", 2)) << host->output();
    std::string since = SinceRestart(*host);
    EXPECT_NE(since.find("0 device node(s) started"), std::string::npos) << since;
    EXPECT_EQ(since.find("created device node"), std::string::npos) << since;
    EXPECT_EQ(since.find("started as COM3"), std::string::npos) << since;
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    // The name the running device kept is free again.
    Creation again = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(again.ok) << std::hex << again.error;
    EXPECT_EQ(again.reboot, FALSE);
    EXPECT_EQ(PortName(again.instanceId), "COM3");
    EXPECT_TRUE(host->WaitFor("device ROOT\\PORTS\\0000 started as COM3")) << host->output();
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(), 0) << host->output();
}

TEST_F(Restart, AnOrdinaryUserCannotRestartAndVlmhostIsUntouched)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    EndingListener printer;
    WriteAssignment("COM3", printer.port());
    auto host = Serve();
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    HANDLE port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    // Enabled here, in the parent: the child must not inherit it.
    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));

    int status = RunAsNobody([] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return 11;
        TOKEN_PRIVILEGES state = OnePrivilege({}, SE_PRIVILEGE_ENABLED);
        if (!LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &state.Privileges[0].Luid))
            return 12;
        if (!AdjustTokenPrivileges(token, FALSE, &state, 0, nullptr, nullptr) ||
                GetLastError() != ERROR_NOT_ALL_ASSIGNED)
            return 13;
        if (!CloseHandle(token) || CloseHandle(token))
            return 14;
        if (ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) || GetLastError() != ERROR_PRIVILEGE_NOT_HELD)
            return 15;
        return 0;
    });
    EXPECT_EQ(status, 0);

    // Still the first start, the port still open and printing.
    EXPECT_TRUE(Write(port, "after\n"));
    EXPECT_TRUE(printer.WaitForBytes(6));
    EXPECT_EQ(printer.WaitForEnd(0ms), "");
    EXPECT_TRUE(CloseHandle(port));
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(), 0) << host->output();
    EXPECT_EQ(host->output().find("restart"), std::string::npos) << host->output();
    EXPECT_EQ(host->Count("kernel started on "), 1u) << host->output();
}

// vlmhost run by an ordinary user: that user is vlmhost's own and may
// restart it (vlmhost admits its own user as an administrator).
TEST_F(Restart, VlmhostsOwnUserMayRestartIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run vlmhost and a child as another user";
    const char* setpriv = "/usr/bin/setpriv";
    if (access(setpriv, X_OK) != 0)
        GTEST_SKIP() << "needs setpriv (util-linux) to run vlmhost as another user";
    if (RunAsNobody([] { return access(VLMHOST_PATH, X_OK) == 0 ? 0 : 1; }) != 0)
        GTEST_SKIP() << "nobody cannot execute " << VLMHOST_PATH;
    ASSERT_EQ(chown(root_.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    auto host = Serve({}, {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"});
    struct stat socket;
    ASSERT_EQ(stat((root_ + "/run/vlmhost.sock").c_str(), &socket), 0);
    ASSERT_EQ(socket.st_uid, kNobody);
    // The child must find no connection of ours: it would have no thread.
    vlm::win32::ipc::Disconnect();

    int status = RunAsNobody([] {
        if (EnableShutdownPrivilege() != ERROR_SUCCESS)
            return 11;
        bool accepted = ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
        vlm::win32::ipc::Disconnect();  // its receiver thread ends before the child does
        return accepted ? 0 : 12;
    });
    EXPECT_EQ(status, 0) << host->output();
    ASSERT_TRUE(host->WaitForCount("ipc listening on", 2)) << host->output();
    EXPECT_NE(host->output().find(", uid 65534) asked for a restart"), std::string::npos) << host->output();
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(), 0) << host->output();
}

#endif  // VLMHOST_PATH

}  // namespace
}  // namespace vlm::test
