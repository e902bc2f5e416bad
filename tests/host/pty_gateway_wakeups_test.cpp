// What the gateway costs while nothing happens: one watcher thread and one
// inotify instance for every terminal however many ports there are, no
// thread for an idle port, and sessions that sleep until the program or
// the printer does something.
#include "gateway_port_fixture.h"
#include "log_capture.h"
#include "pty_gateway.h"
#include "registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;

// The threads of this process by name, with how often each has been
// switched out so far (every wake-up ends in one).
std::multimap<std::string, long> ThreadSwitches()
{
    std::multimap<std::string, long> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return threads;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(base + "/comm"), name);
        long switches = 0;
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                switches += std::stol(line.substr(line.find(':') + 1));
        threads.emplace(name, switches);
    }
    closedir(tasks);
    return threads;
}

int ThreadsNamed(const std::string& prefix)
{
    int n = 0;
    for (const auto& [name, switches] : ThreadSwitches())
        n += name.rfind(prefix, 0) == 0;
    return n;
}

long SwitchesOf(const std::string& prefix)
{
    long total = 0;
    for (const auto& [name, switches] : ThreadSwitches())
        if (name.rfind(prefix, 0) == 0)
            total += switches;
    return total;
}

int InotifyInstances()
{
    int n = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (dirent* entry = fds ? readdir(fds) : nullptr) {
        char target[64] = {};
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0 && strcmp(target, "anon_inode:inotify") == 0)
            ++n;
    }
    if (fds)
        closedir(fds);
    return n;
}

class PtyGatewayWakeups : public GatewayPortTest {
protected:
    void TearDown() override
    {
        gateway_.reset();
        PortTest::TearDown();
    }
    void StartGateway(bool inotify = true)
    {
        host::PtyGatewayOptions options;
        options.systemRoot = root_;
        options.inotify = inotify;
        gateway_ = std::make_unique<host::PtyGateway>(options);
    }
    std::string Link(const std::string& port) const { return root_ + "/dosdevices/" + port; }
    // Opens the port's terminal and writes `bytes`; true once the printer
    // has them, and *fd is the program's terminal.
    bool OpenAndSend(const std::string& port, const std::string& bytes, FakePrinter& printer, int* fd)
    {
        *fd = open(Link(port).c_str(), O_RDWR | O_NOCTTY);
        if (*fd < 0 || write(*fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            return false;
        return printer.WaitForBytes(bytes.size()) && printer.Received() == bytes;
    }

    LogCapture log_;
    std::unique_ptr<host::PtyGateway> gateway_;
};

TEST_F(PtyGatewayWakeups, TwoHundredInstalledPortsShareOneWatcherAndTheLastOneStillPrints)
{
    // COM3 is the fixture's; 199 more nodes as device installation leaves them.
    for (int i = 1; i < 200; ++i) {
        char instance[8];
        snprintf(instance, sizeof instance, "%04d", i);
        std::string node =
                std::string("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\") + instance;
        host::Key key;
        ASSERT_EQ(host::Key::Create(node, key), STATUS_SUCCESS);
        ASSERT_EQ(key.SetString("Service", "VLMQUENTARO"), STATUS_SUCCESS);
        host::Key parameters;
        ASSERT_EQ(host::Key::Create(node + "\\Device Parameters", parameters), STATUS_SUCCESS);
        ASSERT_EQ(parameters.SetString("PortName", "COM" + std::to_string(3 + i)), STATUS_SUCCESS);
    }
    ASSERT_EQ(nt::PnpEnumerateRoot(), 199);
    StartGateway();
    ASSERT_EQ(gateway_->Start(), 200);

    EXPECT_EQ(InotifyInstances(), 1) << "one instance per terminal runs out at fs.inotify.max_user_instances";
    EXPECT_EQ(ThreadsNamed("pty "), 1) << "idle ports must cost no thread";
    EXPECT_FALSE(log_.Has("inotify")) << log_.Text();

    FakePrinter printer;
    Assign("COM202", printer.addressNetworkOrder(), printer.port());
    int fd = -1;
    EXPECT_TRUE(OpenAndSend("COM202", "the 200th port's job\f", printer, &fd)) << log_.Text();
    close(fd);
    EXPECT_TRUE(printer.WaitForRelease());
}

TEST_F(PtyGatewayWakeups, AnOpenSessionSleepsUntilTheProgramClosesAndThenEndsWithNoPassInBetween)
{
    StartGateway();
    ASSERT_EQ(gateway_->Start(), 1);
    FakePrinter printer;
    Assign(printer);
    int fd = -1;
    ASSERT_TRUE(OpenAndSend("COM3", "x", printer, &fd));
    ASSERT_TRUE(log_.WaitFor("pty COM3: port opened")) << log_.Text();
    // Session, sender, reader and watcher, all asleep: a program that says
    // nothing and a printer that sends nothing wake none of them. Any fixed pass
    // would show here as switches (a 20 ms pass: 15 in the window); the
    // few allowed are the last steps into sleep of the byte just handed on.
    // The driver's polling threads, started by the session's open, carry
    // its name until they have named themselves.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 100000 && ThreadsNamed("pty ") != 4 && Clock::now() < deadline; ++i)
        std::this_thread::yield();
    ASSERT_EQ(ThreadsNamed("pty "), 4);
    long before = SwitchesOf("pty ");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the window measured, not a wait for readiness
    EXPECT_LE(SwitchesOf("pty ") - before, 4);

    // What wakes them: the printer's bytes reach the program at once...
    printer.Send("ok");
    char answer[2];
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_EQ(read(fd, answer, sizeof answer), 2);
    // ...and the program's close ends the session and closes the port.
    close(fd);
    EXPECT_TRUE(printer.WaitForRelease());
    EXPECT_TRUE(log_.WaitFor("pty COM3: port closed")) << log_.Text();
    deadline = Clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 10000 && ThreadsNamed("pty ") != 1 && Clock::now() < deadline; ++i)
        std::this_thread::yield();  // the session's threads end right after their last log line
    EXPECT_EQ(ThreadsNamed("pty "), 1) << "the session's threads outlived it";
}

TEST_F(PtyGatewayWakeups, WithoutInotifyTheGatewaySaysSoOnceAndTerminalsStillWork)
{
    StartGateway(false);
    ASSERT_EQ(gateway_->Start(), 1);
    EXPECT_EQ(gateway_->Start(), 0);
    EXPECT_EQ(log_.Count("inotify refused"), 1) << log_.Text();
    EXPECT_TRUE(log_.Has("idle terminals are looked at every 20 ms instead")) << log_.Text();
    EXPECT_EQ(InotifyInstances(), 0);

    FakePrinter printer;
    Assign(printer);
    int fd = -1;
    EXPECT_TRUE(OpenAndSend("COM3", "polled", printer, &fd)) << printer.Received();
    close(fd);
    EXPECT_TRUE(printer.WaitForRelease());
}

}  // namespace
}  // namespace vlm::test
