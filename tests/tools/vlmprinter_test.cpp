// vlmprinter end to end: the real program started as a process, driven
// over loopback TCP, watched through its output lines, its exit status and
// its job files. Every wait is bounded by a deadline; every process is
// killed and reaped when its test ends, however it ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef VLMPRINTER_PATH
#error "VLMPRINTER_PATH must name the vlmprinter program under test"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous, for sanitizer builds on a loaded machine; nothing waits this
// long when all is well.
constexpr auto kLimit = 20s;

Clock::time_point Deadline()
{
    return Clock::now() + kLimit;
}

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) { }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() { Reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset()
    {
        if (fd_ >= 0)
            close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

// The events of fd among `events` once one is there, or 0 at the deadline.
short WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {  // ends at the deadline: the remaining time only shrinks
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready > 0)
            return p.revents;
        if (ready == 0 || errno != EINTR)
            return 0;
    }
}

std::string Endpoint(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in LocalOf(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return local;
}

// Connects (blocking: on loopback a listener answers at once). Returns the
// socket, or an empty one with the error in *error.
Fd Connect(const sockaddr_in& to, int* error = nullptr)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (error)
            *error = errno;
        return Fd();
    }
    if (error)
        *error = 0;
    return fd;
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool SendAll(int fd, std::string_view data, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < data.size()) {  // each pass sends or waits, until the deadline
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!(WaitFor(fd, POLLOUT, deadline) & POLLOUT))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// What a receiver saw: the bytes, and how the stream ended: 0 for the
// peer's FIN, an errno, or kTimedOut.
struct Received {
    static constexpr int kTimedOut = -1;
    std::string bytes;
    int end = kTimedOut;
};

// Receives up to `count` bytes, fewer if the stream ends or the deadline
// passes first.
Received Receive(int fd, std::size_t count, Clock::time_point deadline)
{
    Received r;
    char buffer[65536];
    while (r.bytes.size() < count) {
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - r.bytes.size()), MSG_DONTWAIT);
        if (n > 0) {
            r.bytes.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            r.end = 0;
            return r;
        }
        if (errno != EAGAIN && errno != EINTR) {
            r.end = errno;
            return r;
        }
        if (!WaitFor(fd, POLLIN, deadline))
            return r;
    }
    return r;
}

Received ReceiveToEnd(int fd, Clock::time_point deadline)
{
    return Receive(fd, SIZE_MAX, deadline);
}

bool ReadableNow(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Bytes of every value in an order that shows a lost, doubled or moved
// byte at once.
std::string Pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string Hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// One vlmprinter process with its standard output and error on pipes.
class PrinterProcess {
public:
    explicit PrinterProcess(const std::vector<std::string>& args)
    {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        out_ = Fd(out[0]);
        err_ = Fd(err[0]);
        Fd outWrite(out[1]);
        Fd errWrite(err[1]);

        std::vector<std::string> argvStrings{VLMPRINTER_PATH};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStrings)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
        int rc = posix_spawn(&pid_, VLMPRINTER_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error(std::string("posix_spawn " VLMPRINTER_PATH ": ") + std::strerror(rc));
        // Through syscall(): glibc 2.36's <sys/pidfd.h> declares pidfd_open
        // without C linkage.
        pidfd_ = Fd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
        if (!pidfd_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            throw std::runtime_error("pidfd_open failed");
        }
        SetNonBlocking(out_.get());
        SetNonBlocking(err_.get());
    }

    PrinterProcess(const PrinterProcess&) = delete;
    PrinterProcess& operator=(const PrinterProcess&) = delete;

    ~PrinterProcess()
    {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The next whole line of standard output, or nothing at the deadline or
    // at the end of the output.
    std::optional<std::string> NextLine(Clock::time_point deadline)
    {
        for (;;) {  // each pass takes output or waits, until the deadline
            auto newline = outText_.find('\n');
            if (newline != std::string::npos) {
                std::string line = outText_.substr(0, newline);
                outText_.erase(0, newline + 1);
                return line;
            }
            if (outEnded_)
                return std::nullopt;
            // A closed pipe reports POLLHUP for ever: it is left out.
            pollfd fds[2] = {{out_.get(), POLLIN, 0}, {errEnded_ ? -1 : err_.get(), POLLIN, 0}};
            int ready = poll(fds, 2, RemainingMs(deadline));
            if (ready == 0 || (ready < 0 && errno != EINTR))
                return std::nullopt;
            if (fds[0].revents)
                outEnded_ = !Drain(out_.get(), outText_);
            if (fds[1].revents)
                errEnded_ = !Drain(err_.get(), errText_);
        }
    }

    // The exit status as waitpid reports it, or nothing at the deadline.
    std::optional<int> WaitExit(Clock::time_point deadline)
    {
        if (!reaped_) {
            if (!WaitFor(pidfd_.get(), POLLIN, deadline))
                return std::nullopt;
            if (waitpid(pid_, &status_, 0) != pid_)
                return std::nullopt;
            reaped_ = true;
        }
        return status_;
    }

    void Signal(int signal) { kill(pid_, signal); }

    // Everything the program wrote to standard error so far.
    std::string Errors()
    {
        if (!errEnded_)
            errEnded_ = !Drain(err_.get(), errText_);
        return errText_;
    }

    // Standard output not yet taken as lines, after the program ended.
    std::string RestOfOutput(Clock::time_point deadline)
    {
        std::string rest;
        while (auto line = NextLine(deadline))  // ends with the output or the deadline
            rest += *line + "\n";
        return rest + outText_;
    }

private:
    // Reads what is there, up to 1 MiB a call; false once the writer is
    // gone.
    static bool Drain(int fd, std::string& text)
    {
        char buffer[4096];
        for (int i = 0; i < 256; ++i) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && errno == EAGAIN;
        }
        return true;
    }

    pid_t pid_ = -1;
    Fd pidfd_;
    Fd out_;
    Fd err_;
    std::string outText_;
    std::string errText_;
    bool outEnded_ = false;
    bool errEnded_ = false;
    bool reaped_ = false;
    int status_ = 0;
};

class VlmprinterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vlmprinter.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        jobs_ = tmpl;
    }

    void TearDown() override
    {
        if (printer_) {
            // Whatever state the test left its connections in, a stop
            // signal ends the printer cleanly (and, under AddressSanitizer,
            // without a leak).
            if (!printer_->WaitExit(Clock::now()))
                StopWithStatusZero();
            std::string errors = printer_->Errors();
            EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
            EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
            if (HasFailure())
                std::cerr << "vlmprinter's standard error:\n" << errors;
        }
        printer_.reset();
        std::error_code ec;
        std::filesystem::remove_all(jobs_, ec);
    }

    // Starts vlmprinter on a free port of `address` with its jobs in this
    // test's directory, and waits for its readiness line.
    void Start(std::vector<std::string> flags, const std::string& address = "127.0.0.1")
    {
        std::vector<std::string> args{"--listen", address + ":0", "--jobs", jobs_.string()};
        args.insert(args.end(), flags.begin(), flags.end());
        printer_ = std::make_unique<PrinterProcess>(args);
        auto line = printer_->NextLine(Deadline());
        ASSERT_TRUE(line) << "no readiness line; standard error: " << printer_->Errors();
        const std::string prefix = "listening on " + address + ":";
        ASSERT_EQ(line->substr(0, std::min(line->size(), prefix.size())), prefix);
        unsigned port = std::stoul(line->substr(prefix.size()));
        ASSERT_GT(port, 0u);
        ASSERT_LE(port, 65535u);
        printer_address_.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &printer_address_.sin_addr);
        printer_address_.sin_port = htons(static_cast<uint16_t>(port));
    }

    // The line vlmprinter prints when the job of the connection `client`
    // ends.
    static std::string JobLine(unsigned number, std::size_t bytes, int client)
    {
        return "job " + std::to_string(number) + ": " + std::to_string(bytes) + " bytes from " +
                Endpoint(LocalOf(client));
    }

    std::optional<std::string> JobFile(unsigned number) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "job-%04u.prn", number);
        std::ifstream file(jobs_ / name, std::ios::binary);
        if (!file)
            return std::nullopt;
        std::ostringstream content;
        content << file.rdbuf();
        return std::move(content).str();
    }

    std::optional<std::string> NextLine() { return printer_->NextLine(Deadline()); }

    // Runs one more whole job on a new connection: when its line is out,
    // the printer has handled every earlier event.
    void RunLaterJob(unsigned number)
    {
        Fd later = Connect(printer_address_);
        ASSERT_TRUE(later);
        ASSERT_TRUE(SendAll(later.get(), "later", Deadline()));
        ASSERT_EQ(shutdown(later.get(), SHUT_WR), 0);
        ASSERT_EQ(NextLine(), JobLine(number, 5, later.get()));
    }

    void StopWithStatusZero(int signal = SIGTERM)
    {
        printer_->Signal(signal);
        auto status = printer_->WaitExit(Deadline());
        ASSERT_TRUE(status) << "vlmprinter did not end after signal " << signal;
        ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
        ASSERT_EQ(WEXITSTATUS(*status), 0) << printer_->Errors();
    }

    std::filesystem::path jobs_;
    std::unique_ptr<PrinterProcess> printer_;
    sockaddr_in printer_address_{};
};

// ---- Jobs: what a connection sends is filed, whole and in order --------

using VlmprinterJobs = VlmprinterTest;

TEST_F(VlmprinterJobs, AConnectionsBytesArriveByteForByteInItsJobFile)
{
    ASSERT_NO_FATAL_FAILURE(Start({}));
    const std::string job = Pattern(300 * 1024, 1);
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), job, Deadline()));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);

    EXPECT_EQ(NextLine(), JobLine(1, job.size(), client.get()));
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(end.end, 0) << "the printer answers our close with its own";
    EXPECT_TRUE(end.bytes.empty());
    auto filed = JobFile(1);
    ASSERT_TRUE(filed);
    EXPECT_TRUE(*filed == job) << "job file of " << filed->size() << " bytes differs from the " << job.size()
                               << " bytes sent";
}

TEST_F(VlmprinterJobs, TwoConnectionsGiveTwoJobFilesInConnectionOrder)
{
    // Any address of 127.0.0.0/8 serves, not only 127.0.0.1.
    ASSERT_NO_FATAL_FAILURE(Start({}, "127.0.0.2"));
    Fd first = Connect(printer_address_);
    Fd second = Connect(printer_address_);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    const std::string firstJob = Pattern(5000, 2);
    const std::string secondJob = Pattern(7000, 3);

    // The second connection ends first: numbers follow the connections,
    // not the ends of the jobs.
    ASSERT_TRUE(SendAll(second.get(), secondJob, Deadline()));
    ASSERT_EQ(shutdown(second.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(2, secondJob.size(), second.get()));
    ASSERT_TRUE(SendAll(first.get(), firstJob, Deadline()));
    ASSERT_EQ(shutdown(first.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, firstJob.size(), first.get()));

    EXPECT_EQ(JobFile(1), firstJob);
    EXPECT_EQ(JobFile(2), secondJob);
    EXPECT_FALSE(JobFile(3));
}

TEST_F(VlmprinterJobs, AJobNeverOverwritesAnExistingJobFile)
{
    {
        std::ofstream earlier(jobs_ / "job-0001.prn", std::ios::binary);
        earlier << "an earlier job";
    }
    ASSERT_NO_FATAL_FAILURE(Start({}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "new", Deadline()));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);

    EXPECT_EQ(NextLine(), JobLine(2, 3, client.get()));
    EXPECT_EQ(JobFile(1), "an earlier job");
    EXPECT_EQ(JobFile(2), "new");
}

// ---- Answers: status bytes and echo ------------------------------------

using VlmprinterAnswers = VlmprinterTest;

TEST_F(VlmprinterAnswers, ReplyBytesArriveRightAfterAccepting)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--reply", "1b40ff00"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);

    // Nothing sent yet: the status comes unasked.
    Received status = Receive(client.get(), 4, Deadline());
    EXPECT_EQ(Hex(status.bytes), "1b40ff00");
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, 0, client.get()));
    Received rest = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(rest.end, 0);
    EXPECT_EQ(Hex(rest.bytes), "") << "the reply is sent once";
}

TEST_F(VlmprinterAnswers, ReplyEveryFollowsTheEchoOfEachNthByte)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--echo", "--reply-every", "4", "a5"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);

    ASSERT_TRUE(SendAll(client.get(), "0123456789", Deadline()));
    Received first = Receive(client.get(), 12, Deadline());
    EXPECT_EQ(Hex(first.bytes),
            Hex("0123\xa5"
                "4567\xa5"
                "89"));
    // The count goes on across sends: two more bytes complete the third N.
    ASSERT_TRUE(SendAll(client.get(), "ab", Deadline()));
    Received second = Receive(client.get(), 3, Deadline());
    EXPECT_EQ(Hex(second.bytes), Hex("ab\xa5"));

    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, 12, client.get()));
    Received rest = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(rest.end, 0);
    EXPECT_EQ(Hex(rest.bytes), "") << "no reply before the N-th byte";
    EXPECT_EQ(JobFile(1), "0123456789ab");
}

TEST_F(VlmprinterAnswers, EchoReturnsEveryByteEvenToAPeerThatReadsLate)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--echo"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    SetNonBlocking(client.get());
    // Loopback buffers took about 10 MiB before the sender stalled when
    // this was written; the job is well beyond that.
    const std::string job = Pattern(32 * 1024 * 1024, 4);
    // Moving 64 MiB through an instrumented printer takes a while under
    // ThreadSanitizer.
    const auto deadline = Clock::now() + 3 * kLimit;

    // Send without reading until the sender stays blocked: the echo backs
    // up through both sockets into the printer, which then stops reading.
    std::size_t sent = 0;
    bool stalled = false;
    while (!stalled && sent < job.size()) {  // each pass sends or waits, until the deadline
        ASSERT_LT(Clock::now(), deadline) << "sent " << sent;
        ssize_t n = send(client.get(), job.data() + sent, job.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
        stalled = !(WaitFor(client.get(), POLLOUT, Clock::now() + 250ms) & POLLOUT);
    }
    ASSERT_TRUE(stalled) << "all " << job.size() << " bytes went out without the echo backing up";

    // Now read as well: every byte must come back, in order.
    std::string echoed;
    while (echoed.size() < job.size()) {  // each pass moves bytes or waits, until the deadline
        ASSERT_LT(Clock::now(), deadline) << "sent " << sent << ", received " << echoed.size();
        short events = sent < job.size() ? POLLIN | POLLOUT : POLLIN;
        short ready = WaitFor(client.get(), events, deadline);
        ASSERT_NE(ready, 0) << "stuck after sending " << sent << " and receiving " << echoed.size();
        if ((ready & POLLOUT) && sent < job.size()) {
            ssize_t n = send(client.get(), job.data() + sent, job.size() - sent, MSG_NOSIGNAL);
            ASSERT_TRUE(n > 0 || errno == EAGAIN) << std::strerror(errno);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        Received r = Receive(client.get(), job.size() - echoed.size(), Clock::now());
        ASSERT_EQ(r.end, Received::kTimedOut) << "the stream ended before the echo was complete";
        echoed += r.bytes;
    }
    EXPECT_TRUE(echoed == job) << "echo of " << echoed.size() << " bytes differs";
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, job.size(), client.get()));
    EXPECT_TRUE(JobFile(1) == job);
}

// ---- Trouble: the ways a printer lets a sender down -------------------

using VlmprinterTrouble = VlmprinterTest;

TEST_F(VlmprinterTrouble, CloseAfterZeroAnswersAndClosesRightAfterAccepting)
{
    // A busy printer: it takes the connection, says so, and hangs up.
    ASSERT_NO_FATAL_FAILURE(Start({"--close-after", "0", "--reply", "15"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(Hex(end.bytes), "15");
    EXPECT_EQ(end.end, 0);
    EXPECT_EQ(NextLine(), JobLine(1, 0, client.get()));
    EXPECT_EQ(JobFile(1), "");
}

TEST_F(VlmprinterTrouble, RefuseGivesConnectionRefusedOnAReservedPort)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--refuse"}));
    int error = 0;
    Fd client = Connect(printer_address_, &error);
    EXPECT_FALSE(client);
    EXPECT_EQ(error, ECONNREFUSED) << std::strerror(error);

    // The port stays taken, so the refusal is the printer's, not chance.
    Fd other(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    setsockopt(other.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    EXPECT_NE(bind(other.get(), reinterpret_cast<const sockaddr*>(&printer_address_), sizeof printer_address_), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    ASSERT_NO_FATAL_FAILURE(StopWithStatusZero());
}

TEST_F(VlmprinterTrouble, NoReadStallsANonBlockingSender)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--no-read"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    SetNonBlocking(client.get());
    // Named while the connection lives: the printer's end resets it.
    const std::string jobLine = JobLine(1, 0, client.get());

    // Fill both sockets' buffers until the sender stays blocked. Loopback
    // buffers hold a few MiB; 256 MiB would mean the printer is reading.
    const std::string chunk = Pattern(64 * 1024, 5);
    const std::size_t bound = 256u * 1024 * 1024;
    const auto deadline = Deadline();
    std::size_t total = 0;
    bool stalled = false;
    while (!stalled && total < bound && Clock::now() < deadline) {
        ssize_t n = send(client.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            continue;
        }
        ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
        // Data still moving from our buffer to the printer's frees room for
        // a moment; a stalled sender gets none within a quarter second.
        stalled = !(WaitFor(client.get(), POLLOUT, Clock::now() + 250ms) & POLLOUT);
    }
    EXPECT_TRUE(stalled) << total << " bytes went out without a stall";

    ASSERT_NO_FATAL_FAILURE(StopWithStatusZero());
    EXPECT_EQ(printer_->RestOfOutput(Deadline()), jobLine + "\n");
    EXPECT_EQ(JobFile(1), "") << "not a byte was read";
}

TEST_F(VlmprinterTrouble, CloseAfterGivesEofAtTheByteCount)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--close-after", "10", "--echo"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);

    ASSERT_TRUE(SendAll(client.get(), "123456789", Deadline()));
    EXPECT_EQ(Receive(client.get(), 9, Deadline()).bytes, "123456789") << "still open one byte short";
    ASSERT_TRUE(SendAll(client.get(), "ABCDE", Deadline()));
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(end.bytes, "A") << "the echo of the tenth byte, then nothing";
    EXPECT_EQ(end.end, 0) << "a graceful close, not " << std::strerror(end.end);

    EXPECT_EQ(NextLine(), JobLine(1, 10, client.get()));
    EXPECT_EQ(JobFile(1), "123456789A");
}

TEST_F(VlmprinterTrouble, ResetAfterGivesConnectionResetAtTheByteCount)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--reset-after", "10", "--echo"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    // Named while the connection lives; a reset socket may forget its port.
    const std::string jobLine = JobLine(1, 10, client.get());

    ASSERT_TRUE(SendAll(client.get(), "123456789", Deadline()));
    EXPECT_EQ(Receive(client.get(), 9, Deadline()).bytes, "123456789") << "still open one byte short";
    ASSERT_TRUE(SendAll(client.get(), "ABCDE", Deadline()));
    Received end = ReceiveToEnd(client.get(), Deadline());
    // The reset may overtake the echo of the tenth byte; nothing beyond it
    // may come.
    EXPECT_TRUE(end.bytes.empty() || end.bytes == "A") << end.bytes;
    EXPECT_EQ(end.end, ECONNRESET) << (end.end > 0 ? std::strerror(end.end) : "EOF or time-out");

    EXPECT_EQ(NextLine(), jobLine);
    EXPECT_EQ(JobFile(1), "123456789A");
}

// The printer handles connections one event at a time: a second job that
// ended after ours shows the printer has long seen our close, so whether it
// has answered that close by then is a matter of order, not of timing.
TEST_F(VlmprinterTrouble, CloseDelayHoldsOurCloseBackAfterThePeersClose)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--close-delay", "3000"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "page", Deadline()));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, 4, client.get()));

    ASSERT_NO_FATAL_FAILURE(RunLaterJob(2));
    EXPECT_FALSE(ReadableNow(client.get())) << "the printer closed without waiting";
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(end.end, 0);
    EXPECT_TRUE(end.bytes.empty());
}

TEST_F(VlmprinterTrouble, WithoutCloseDelayOurCloseFollowsThePeersAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Start({}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "page", Deadline()));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, 4, client.get()));

    ASSERT_NO_FATAL_FAILURE(RunLaterJob(2));
    EXPECT_TRUE(ReadableNow(client.get())) << "the printer's close is not there yet";
    EXPECT_EQ(ReceiveToEnd(client.get(), Deadline()).end, 0);
}

TEST_F(VlmprinterTrouble, NeverCloseKeepsOurSideOpenUntilTheProgramEnds)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--never-close"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "page", Deadline()));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_EQ(NextLine(), JobLine(1, 4, client.get()));

    ASSERT_NO_FATAL_FAILURE(RunLaterJob(2));
    EXPECT_FALSE(ReadableNow(client.get())) << "the printer answered our close";
    ASSERT_NO_FATAL_FAILURE(StopWithStatusZero());
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(end.end, 0) << "the program's end closes the connection";
    EXPECT_EQ(JobFile(1), "page");
}

// Linux admits backlog + 1 completed connections to a listener's queue; with
// backlog 0 and the one place taken, a SYN is dropped unanswered and the
// sender retries it until its connect times out.
TEST_F(VlmprinterTrouble, BacklogFullLeavesFurtherConnectsUnanswered)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--backlog-full"}));
    Fd client(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int rc = connect(client.get(), reinterpret_cast<const sockaddr*>(&printer_address_), sizeof printer_address_);
    ASSERT_EQ(rc, -1);
    ASSERT_EQ(errno, EINPROGRESS) << "the connect was answered at once: " << std::strerror(errno);
    // Past the first SYN retransmission (1 s): still no answer.
    EXPECT_EQ(WaitFor(client.get(), POLLOUT, Clock::now() + 1500ms), 0) << "the connect was answered";

    ASSERT_NO_FATAL_FAILURE(StopWithStatusZero());
    EXPECT_EQ(printer_->RestOfOutput(Deadline()), "") << "nothing was accepted";
}

// ---- Lifecycle: command line, start, stop -----------------------------

class VlmprinterStop : public VlmprinterTest, public ::testing::WithParamInterface<int> { };

TEST_P(VlmprinterStop, ASignalEndsWithStatusZeroAndTheOpenJobComplete)
{
    const std::string job = Pattern(100000, 6);
    // The acknowledgement after the last byte proves the job is all in.
    ASSERT_NO_FATAL_FAILURE(Start({"--reply-every", std::to_string(job.size()), "06"}));
    Fd client = Connect(printer_address_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), job, Deadline()));
    ASSERT_EQ(Hex(Receive(client.get(), 1, Deadline()).bytes), "06");

    ASSERT_NO_FATAL_FAILURE(StopWithStatusZero(GetParam()));
    EXPECT_EQ(printer_->RestOfOutput(Deadline()), JobLine(1, job.size(), client.get()) + "\n");
    EXPECT_TRUE(JobFile(1) == job);
    Received end = ReceiveToEnd(client.get(), Deadline());
    EXPECT_EQ(end.end, 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, VlmprinterStop, ::testing::Values(SIGTERM, SIGINT),
        [](const auto& info) { return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT"); });

using VlmprinterCommandLine = VlmprinterTest;

TEST_F(VlmprinterCommandLine, HelpPrintsTheUsageAndExitsZero)
{
    PrinterProcess help({"--help"});
    auto status = help.WaitExit(Deadline());
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    std::string usage = help.RestOfOutput(Deadline());
    EXPECT_EQ(usage.rfind("usage: vlmprinter", 0), 0u) << usage;
    for (auto option : {"--listen", "--jobs", "--reply", "--reply-every", "--echo", "--refuse", "--no-read",
                 "--close-after", "--reset-after", "--close-delay", "--never-close", "--backlog-full", "--any-address"})
        EXPECT_NE(usage.find(std::string("  ") + option + " "), std::string::npos) << option << " undocumented";
    EXPECT_EQ(help.Errors(), "");
}

TEST_F(VlmprinterCommandLine, APortInUseFailsWithStatusOne)
{
    Fd taken(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken.get(), 1), 0);

    PrinterProcess printer({"--listen", Endpoint(LocalOf(taken.get())), "--jobs", jobs_.string()});
    auto status = printer.WaitExit(Deadline());
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_NE(printer.Errors().find("cannot bind"), std::string::npos) << printer.Errors();
    EXPECT_EQ(printer.RestOfOutput(Deadline()), "") << "no readiness line without a port";
}

class VlmprinterBadArguments : public VlmprinterTest,
                               public ::testing::WithParamInterface<std::vector<std::string>> { };

TEST_P(VlmprinterBadArguments, ExitWithStatusTwoAndSayWhy)
{
    std::vector<std::string> args = GetParam();
    // Every case but the jobs directory's own gets a usable one, so that
    // only the argument under test is wrong.
    if (std::find(args.begin(), args.end(), "--jobs") == args.end()) {
        args.push_back("--jobs");
        args.push_back(jobs_.string());
    }
    PrinterProcess printer(args);
    auto status = printer.WaitExit(Deadline());
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_EQ(printer.Errors().rfind("vlmprinter: ", 0), 0u) << printer.Errors();
    EXPECT_EQ(printer.RestOfOutput(Deadline()), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, VlmprinterBadArguments,
        ::testing::Values(std::vector<std::string>{"--no-such-option"}, std::vector<std::string>{"stray"},
                std::vector<std::string>{"--listen"}, std::vector<std::string>{"--listen", "127.0.0.1"},
                std::vector<std::string>{"--listen", "127.0.0.1:65536"},
                std::vector<std::string>{"--listen", "localhost:9100"},
                std::vector<std::string>{"--listen", "10.1.2.3:9100"},
                std::vector<std::string>{"--listen", "0.0.0.0:0"}, std::vector<std::string>{"--reply", "1b4"},
                std::vector<std::string>{"--reply", "zz"}, std::vector<std::string>{"--reply-every", "0", "06"},
                std::vector<std::string>{"--reply-every", "4"}, std::vector<std::string>{"--close-after", "-1"},
                std::vector<std::string>{"--close-after", "18446744073709551616"},
                std::vector<std::string>{"--close-delay", "soon"}, std::vector<std::string>{"--echo", "--echo"},
                std::vector<std::string>{"--refuse", "--backlog-full"}, std::vector<std::string>{"--refuse", "--echo"},
                std::vector<std::string>{"--no-read", "--echo"},
                std::vector<std::string>{"--close-after", "5", "--reset-after", "5"},
                std::vector<std::string>{"--never-close", "--close-delay", "10"},
                std::vector<std::string>{"--jobs", "/nonexistent/vlmprinter/jobs"}),
        [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
