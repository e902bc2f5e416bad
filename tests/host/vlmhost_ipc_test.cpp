// vlmhost as a program serving IPC: a program's open port ends its printer
// connection in order when vlmhost is stopped, only one vlmhost serves a
// system root, a stale socket file is taken over, and the options that
// govern the socket are honoured.
#include "ending_listener.h"
#include "raw_client.h"
#include "vlmhost_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <fstream>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

TEST_F(VlmHostIpc, SigtermWithAPortOpenOverIpcEndsThePrinterConnectionInOrder)
{
    EndingListener printer;
    Assign(printer.port());
    Host host({"--root", root_, "--create-port", "COM3", "--no-pty"});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    EXPECT_NE(host.output().find("ipc listening on " + SocketPath()), std::string::npos) << host.output();
    EXPECT_NE(host.output().find("device ROOT\\PORTS\\0000 started as COM3"), std::string::npos) << host.output();

    RawClient client(SocketPath());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Hello());
    uint32_t handle = 0;
    ASSERT_EQ(client.Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << host.output();
    auto reply = client.Call(Op::Write, handle, Bytes("job over ipc\n"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForBytes(13));
    EXPECT_EQ(printer.Received(), "job over ipc\n");
    ASSERT_TRUE(host.WaitFor("client 1: COM3 opened")) << host.output();

    host.Signal(SIGTERM);
    EXPECT_EQ(printer.WaitForEnd(), "fin");
    EXPECT_EQ(host.Wait(), 0) << host.output();
    EXPECT_TRUE(client.WaitClosed());
    const std::string& out = host.output();
    EXPECT_NE(
            out.find("client 1 connected (pid " + std::to_string(getpid()) + ", uid " + std::to_string(getuid()) + ")"),
            std::string::npos)
            << out;
    EXPECT_NE(out.find("client 1 disconnected (1 handles closed)"), std::string::npos) << out;
    EXPECT_NE(out.find("kernel stopped"), std::string::npos) << out;
    // The handle closed before the devices went.
    EXPECT_LT(out.find("client 1 disconnected"), out.find("kernel stopped"));
    struct stat gone;
    EXPECT_NE(stat(SocketPath().c_str(), &gone), 0) << "the socket file outlived vlmhost";
}

TEST_F(VlmHostIpc, ASecondVlmhostOnTheSameRootRefusesToStartAndTheFirstServesOn)
{
    Host first({"--root", root_, "--create-port", "COM3", "--no-pty"});
    ASSERT_TRUE(first.WaitFor("serving")) << first.output();
    Host second({"--root", root_, "--no-pty"});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.output().find("is already serving " + root_), std::string::npos) << second.output();
    EXPECT_EQ(second.output().find("kernel started"), std::string::npos) << "it must not touch the registry";
    RawClient client(SocketPath());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.Hello());
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
}

TEST_F(VlmHostIpc, AStaleSocketFileIsTakenOver)
{
    ASSERT_EQ(mkdir((root_ + "/run").c_str(), 0755), 0);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, SocketPath().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);  // the file stays, nobody listens: what a killed vlmhost leaves
    Host host({"--root", root_, "--create-port", "COM3", "--no-pty"});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    RawClient client(SocketPath());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.Hello());
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0);
}

// A registry.db of zero bytes, or one without the registry's tables, was
// silently re-seeded: every node and assignment gone, exit 0.
TEST_F(VlmHostIpc, ARegistryFileThatIsNotOursStopsTheStartWithTheFileAndTheReason)
{
    const std::string file = root_ + "/registry.db";
    {
        std::ofstream empty(file);
    }
    Host onEmpty({"--root", root_, "--once"});
    EXPECT_EQ(onEmpty.Wait(), 1) << onEmpty.output();
    EXPECT_NE(onEmpty.output().find(file + ": not a registry database: the file is empty (0 bytes)"), std::string::npos)
            << onEmpty.output();
    EXPECT_EQ(onEmpty.output().find("kernel started"), std::string::npos) << onEmpty.output();
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "the file was written to";

    {
        std::ofstream garbage(file, std::ios::trunc);
        garbage << std::string(4096, 'x');
    }
    Host onGarbage({"--root", root_, "--once"});
    EXPECT_EQ(onGarbage.Wait(), 1) << onGarbage.output();
    EXPECT_NE(onGarbage.output().find(file + ": "), std::string::npos) << onGarbage.output();
    EXPECT_NE(onGarbage.output().find("not a registry database (file is not a database)"), std::string::npos)
            << onGarbage.output();
}

TEST_F(VlmHostIpc, NoIpcMeansNoSocketAndAnUnknownGroupIsRefused)
{
    Host quiet({"--root", root_, "--create-port", "COM3", "--no-pty", "--no-ipc"});
    ASSERT_TRUE(quiet.WaitFor("serving")) << quiet.output();
    struct stat none;
    EXPECT_NE(stat(SocketPath().c_str(), &none), 0);
    EXPECT_EQ(quiet.output().find("ipc listening"), std::string::npos);
    quiet.Signal(SIGTERM);
    EXPECT_EQ(quiet.Wait(), 0);

    Host badGroup({"--root", root_, "--group", "no-such-group-here"});
    EXPECT_EQ(badGroup.Wait(), 2);
    EXPECT_NE(badGroup.output().find("unknown group 'no-such-group-here'"), std::string::npos) << badGroup.output();

    Host help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.output().find("--group NAME"), std::string::npos);
    EXPECT_NE(help.output().find("--no-ipc"), std::string::npos);
}

}  // namespace
}  // namespace vlm::test
