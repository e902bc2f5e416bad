#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <set>

namespace vlm::printer {

namespace {

// A day: longer delays are typing mistakes, not test scenarios.
constexpr std::uint64_t kMaxCloseDelayMs = 24ull * 60 * 60 * 1000;
// Status answers of real printers are a few bytes; this bounds what one
// accepted connection can make us queue per reply.
constexpr std::size_t kMaxReplyBytes = 4096;

std::string Quote(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

std::uint64_t ParseCount(std::string_view text, std::string_view option)
{
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw UsageError(std::string(option) + ": " + Quote(text) + " is not a byte count (a decimal number)");
    return value;
}

std::vector<std::byte> ParseHexOrThrow(std::string_view text, std::string_view option)
{
    auto bytes = ParseHex(text);
    if (!bytes)
        throw UsageError(std::string(option) + ": " + Quote(text) +
                         " is not an even number of hex digits (e.g. 1b40)");
    if (bytes->size() > kMaxReplyBytes)
        throw UsageError(std::string(option) + ": more than " + std::to_string(kMaxReplyBytes) + " bytes");
    return *bytes;
}

void ParseListen(std::string_view text, Options& options)
{
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        throw UsageError("--listen: " + Quote(text) + " is not ADDR:PORT");
    std::string host(text.substr(0, colon));
    std::string_view portText = text.substr(colon + 1);
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1)
        throw UsageError("--listen: " + Quote(host) + " is not an IPv4 address (a.b.c.d)");
    unsigned port = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() || port > 65535)
        throw UsageError("--listen: " + Quote(portText) + " is not a port (0 to 65535)");
    options.address = ntohl(address.s_addr);
    options.port = static_cast<std::uint16_t>(port);
}

// Rejects combinations that would silently do something other than what
// was asked for.
void CheckCombinations(const Options& options, const std::set<std::string_view>& given)
{
    if ((options.address >> 24) != 127 && !options.anyAddress)
        throw UsageError("--listen: addresses outside 127.0.0.0/8 need --any-address");
    if (options.refuse && options.backlogFull)
        throw UsageError("--refuse and --backlog-full exclude each other");
    if (options.closeAfter && options.resetAfter)
        throw UsageError("--close-after and --reset-after exclude each other");
    if (options.neverClose && given.count("--close-delay"))
        throw UsageError("--never-close and --close-delay exclude each other");
    static constexpr std::string_view kPerConnection[] = {
        "--reply", "--reply-every", "--echo", "--no-read", "--close-after",
        "--reset-after", "--close-delay", "--never-close"};
    for (auto mode : {std::string_view("--refuse"), std::string_view("--backlog-full")}) {
        if (!given.count(mode))
            continue;
        for (auto flag : kPerConnection)
            if (given.count(flag))
                throw UsageError(std::string(mode) + " accepts no connection, so " + std::string(flag) +
                                 " would have no effect");
    }
    if (options.noRead) {
        for (auto flag : {"--echo", "--reply-every", "--close-after", "--reset-after"})
            if (given.count(flag))
                throw UsageError(std::string("--no-read never reads, so ") + flag + " would have no effect");
    }
}

}  // namespace

std::optional<std::vector<std::byte>> ParseHex(std::string_view text)
{
    if (text.empty() || text.size() % 2 != 0)
        return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<std::byte> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = digit(text[i]);
        int low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::byte>(high * 16 + low));
    }
    return bytes;
}

Options ParseCommandLine(std::span<const std::string_view> args)
{
    Options options;
    std::set<std::string_view> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= args.size())
                throw UsageError(std::string(arg) + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        }
        if (arg.size() < 2 || arg.substr(0, 2) != "--")
            throw UsageError("unexpected argument " + Quote(arg));
        if (!given.insert(arg).second)
            throw UsageError(std::string(arg) + " given twice");
        if (arg == "--listen") {
            ParseListen(value(), options);
        } else if (arg == "--any-address") {
            options.anyAddress = true;
        } else if (arg == "--jobs") {
            options.jobsDir = value();
            if (options.jobsDir.empty())
                throw UsageError("--jobs: the directory name is empty");
        } else if (arg == "--reply") {
            options.reply = ParseHexOrThrow(value(), arg);
        } else if (arg == "--reply-every") {
            options.replyEvery = ParseCount(value(), arg);
            if (options.replyEvery == 0)
                throw UsageError("--reply-every: N must be at least 1");
            options.replyEveryBytes = ParseHexOrThrow(value(), arg);
        } else if (arg == "--echo") {
            options.echo = true;
        } else if (arg == "--refuse") {
            options.refuse = true;
        } else if (arg == "--no-read") {
            options.noRead = true;
        } else if (arg == "--close-after") {
            options.closeAfter = ParseCount(value(), arg);
        } else if (arg == "--reset-after") {
            options.resetAfter = ParseCount(value(), arg);
        } else if (arg == "--close-delay") {
            std::uint64_t ms = ParseCount(value(), arg);
            if (ms > kMaxCloseDelayMs)
                throw UsageError("--close-delay: more than a day (" + std::to_string(kMaxCloseDelayMs) + " ms)");
            options.closeDelay = std::chrono::milliseconds(ms);
        } else if (arg == "--never-close") {
            options.neverClose = true;
        } else if (arg == "--backlog-full") {
            options.backlogFull = true;
        } else {
            throw UsageError("unknown option " + Quote(arg));
        }
    }
    CheckCombinations(options, given);
    return options;
}

void PrintUsage(std::FILE* out)
{
    std::fputs(
        "usage: vlmprinter [options]\n"
        "Stands in for a printer's Ethernet interface: accepts print jobs on a TCP\n"
        "port and writes the bytes of each connection to a job file. Flags make it\n"
        "behave like a printer in trouble.\n"
        "\n"
        "  --listen ADDR:PORT   print port (default 127.0.0.1:9100); port 0 picks a free\n"
        "                       one. Addresses outside 127.0.0.0/8 need --any-address\n"
        "  --any-address        allow a listening address outside 127.0.0.0/8\n"
        "  --jobs DIR           where job-0001.prn, job-0002.prn, ... go, one per\n"
        "                       connection in the order accepted (default: .)\n"
        "  --reply HEX          send these bytes right after accepting (HEX: pairs of\n"
        "                       hex digits, e.g. 1b40)\n"
        "  --reply-every N HEX  send these bytes after every N bytes received\n"
        "  --echo               send back everything received\n"
        "  --refuse             reserve the port without listening: connects are refused\n"
        "  --no-read            accept and never read: the sender's sends stall\n"
        "  --close-after N      close gracefully once N bytes were received\n"
        "  --reset-after N      reset the connection once N bytes were received\n"
        "  --close-delay MS     when the sender closes its side, wait MS milliseconds\n"
        "                       before closing ours (default 0)\n"
        "  --never-close        never answer the sender's close: our side stays open\n"
        "                       until vlmprinter ends\n"
        "  --backlog-full       listen with a full backlog and never accept: connects\n"
        "                       get no answer and time out\n"
        "  --help               this text\n"
        "\n"
        "Prints \"listening on ADDR:PORT\" once ready and \"job N: B bytes from ADDR:PORT\"\n"
        "when a job ends (the sender closed or reset, or a limit above was reached).\n"
        "SIGINT or SIGTERM finishes the open jobs and ends it.\n"
        "Exit status: 0 after a signal, 1 on a failure at run time, 2 on a bad command\n"
        "line.\n",
        out);
}

}  // namespace vlm::printer
