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
// Every interface holds a print port: this keeps the descriptors within a
// process's usual limit.
constexpr unsigned kMaxInterfaces = 1000;
// The largest payload of one IPv4 datagram.
constexpr std::size_t kMaxDatagram = 65507;

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
        throw UsageError(std::string(option) + ": " + Quote(text) + " is not an even number of hex digits (e.g. 1b40)");
    if (bytes->size() > kMaxReplyBytes)
        throw UsageError(std::string(option) + ": more than " + std::to_string(kMaxReplyBytes) + " bytes");
    return *bytes;
}

std::uint64_t ParseNumber(std::string_view text, std::string_view option, std::uint64_t max)
{
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max)
        throw UsageError(
                std::string(option) + ": " + Quote(text) + " is not a number from 0 to " + std::to_string(max));
    return value;
}

std::uint32_t ParseAddress(std::string_view text, std::string_view option)
{
    in_addr address{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &address) != 1)
        throw UsageError(std::string(option) + ": " + Quote(text) + " is not an IPv4 address (a.b.c.d)");
    return ntohl(address.s_addr);
}

std::array<std::uint8_t, 6> ParseMac(std::string_view text)
{
    std::array<std::uint8_t, 6> mac{};
    bool ok = text.size() == 17;
    for (std::size_t i = 0; ok && i < mac.size(); ++i) {
        auto byte = ParseHex(text.substr(i * 3, 2));
        ok = byte && (i == mac.size() - 1 || text[i * 3 + 2] == ':');
        if (ok)
            mac[i] = static_cast<std::uint8_t>((*byte)[0]);
    }
    if (!ok)
        throw UsageError("--mac: " + Quote(text) + " is not a MAC address (xx:xx:xx:xx:xx:xx)");
    return mac;
}

// A speed of the table ("9600"), or any code as 0xNN.
std::uint8_t ParseBaud(std::string_view text)
{
    static constexpr std::pair<std::uint32_t, std::uint8_t> kCodes[] = {
            {1200, 0xA0},
            {2400, 0xD0},
            {4800, 0xE8},
            {9600, 0xF4},
            {19200, 0xFA},
            {38400, 0xFD},
            {57600, 0xFE},
            {115200, 0xFF},
            {230400, 0xBB},
    };
    if (text.size() == 4 && (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X")) {
        if (auto code = ParseHex(text.substr(2)))
            return static_cast<std::uint8_t>((*code)[0]);
    }
    std::uint32_t rate = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (ec == std::errc() && end == text.data() + text.size())
        for (auto [speed, code] : kCodes)
            if (speed == rate)
                return code;
    throw UsageError("--baud: " + Quote(text) + " is neither a speed of the table (1200 ... 230400) nor a code (0xNN)");
}

void ParseFirmware(std::string_view text, Options& options)
{
    auto dot = text.find('.');
    if (dot == std::string_view::npos)
        throw UsageError("--firmware: " + Quote(text) + " is not MAJOR.MINOR");
    options.record.firmwareMajor = static_cast<std::uint8_t>(ParseNumber(text.substr(0, dot), "--firmware", 255));
    options.record.firmwareMinor = static_cast<std::uint8_t>(ParseNumber(text.substr(dot + 1), "--firmware", 255));
}

std::chrono::milliseconds ParseDelay(std::string_view text, std::string_view option)
{
    return std::chrono::milliseconds(ParseNumber(text, option, kMaxCloseDelayMs));
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
    const std::uint64_t lastAddress = std::uint64_t(options.address) + options.interfaces - 1;
    if (!options.anyAddress && (lastAddress >> 24) != 127)
        throw UsageError("--interfaces: the addresses would leave 127.0.0.0/8");
    if (lastAddress > 0xffffffffu)
        throw UsageError("--interfaces: the addresses would run past 255.255.255.255");
    if (options.record.address) {
        // Told, not listened at; still, a tool that believes it connects
        // there. 0.0.0.0/8 is an interface not configured yet.
        const std::uint32_t first = *options.record.address;
        const std::uint64_t last = std::uint64_t(first) + options.interfaces - 1;
        const bool local = (first >> 24) == (last >> 24) && ((first >> 24) == 127 || (first >> 24) == 0);
        if (last > 0xffffffffu || (!local && !options.anyAddress))
            throw UsageError("--ip: addresses outside 127.0.0.0/8 and 0.0.0.0/8 need --any-address");
    }
    static constexpr std::string_view kUdpOnly[] = {"--any-network", "--answer-length", "--answer-count", "--no-answer",
            "--answer-tag", "--answer-delay", "--no-setc", "--setc-length", "--setc-delay", "--state"};
    if (!options.udp)
        for (auto flag : kUdpOnly)
            if (given.count(flag))
                throw UsageError(std::string(flag) + " is about the UDP side, which only --udp starts");
    if (options.noAnswer)
        for (auto flag : {"--answer-length", "--answer-count", "--answer-tag", "--answer-delay"})
            if (given.count(flag))
                throw UsageError(std::string("--no-answer never answers, so ") + flag + " would have no effect");
    if (options.noSetc)
        for (auto flag : {"--setc-length", "--setc-delay"})
            if (given.count(flag))
                throw UsageError(std::string("--no-setc never answers, so ") + flag + " would have no effect");
    if (options.refuse && options.backlogFull)
        throw UsageError("--refuse and --backlog-full exclude each other");
    if (options.closeAfter && options.resetAfter)
        throw UsageError("--close-after and --reset-after exclude each other");
    if (options.neverClose && given.count("--close-delay"))
        throw UsageError("--never-close and --close-delay exclude each other");
    static constexpr std::string_view kPerConnection[] = {"--reply", "--reply-every", "--echo", "--no-read",
            "--close-after", "--reset-after", "--close-delay", "--never-close"};
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
        } else if (arg == "--interfaces") {
            options.interfaces = static_cast<unsigned>(ParseNumber(value(), arg, kMaxInterfaces));
            if (options.interfaces == 0)
                throw UsageError("--interfaces: N must be at least 1");
        } else if (arg == "--mac") {
            options.record.mac = ParseMac(value());
        } else if (arg == "--ip") {
            options.record.address = ParseAddress(value(), arg);
        } else if (arg == "--mask") {
            options.record.mask = ParseAddress(value(), arg);
        } else if (arg == "--gateway") {
            options.record.gateway = ParseAddress(value(), arg);
        } else if (arg == "--baud") {
            options.record.baudCode = ParseBaud(value());
        } else if (arg == "--firmware") {
            ParseFirmware(value(), options);
        } else if (arg == "--dhcp") {
            options.record.dhcpMode = static_cast<std::uint8_t>(ParseNumber(value(), arg, 255));
        } else if (arg == "--inactivity") {
            options.record.inactivity = static_cast<std::uint16_t>(ParseNumber(value(), arg, 65535));
        } else if (arg == "--udp") {
            options.udp = true;
        } else if (arg == "--any-network") {
            options.anyNetwork = true;
        } else if (arg == "--answer-length") {
            options.answerLength = static_cast<std::size_t>(ParseNumber(value(), arg, kMaxDatagram));
        } else if (arg == "--answer-count") {
            options.answerCount = static_cast<unsigned>(ParseNumber(value(), arg, 100));
            if (options.answerCount == 0)
                throw UsageError("--answer-count: N must be at least 1 (--no-answer answers never)");
        } else if (arg == "--no-answer") {
            options.noAnswer = true;
        } else if (arg == "--answer-tag") {
            std::string_view tag = value();
            if (tag.size() != 4)
                throw UsageError("--answer-tag: " + Quote(tag) + " is not four characters");
            for (std::size_t k = 0; k < 4; ++k)
                options.answerTag[k] = tag[k];
        } else if (arg == "--answer-delay") {
            options.answerDelay = ParseDelay(value(), arg);
        } else if (arg == "--no-setc") {
            options.noSetc = true;
        } else if (arg == "--setc-length") {
            options.setcLength = static_cast<std::size_t>(ParseNumber(value(), arg, kMaxDatagram));
        } else if (arg == "--setc-delay") {
            options.setcDelay = ParseDelay(value(), arg);
        } else if (arg == "--state") {
            options.stateFile = value();
            if (options.stateFile.empty())
                throw UsageError("--state: the file name is empty");
        } else {
            throw UsageError("unknown option " + Quote(arg));
        }
    }
    CheckCombinations(options, given);
    return options;
}

void PrintUsage(std::FILE* out)
{
    std::fputs("usage: vlmprinter [options]\n"
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
               "  --interfaces N       stand for N interfaces (up to 1000): addresses and MACs\n"
               "                       count up from the first, each with its own print port\n"
               "\n"
               "The record each interface describes itself with (the first; others count up):\n"
               "  --mac XX:XX:XX:XX:XX:XX  (default 02:00:00:00:00:01)\n"
               "  --ip A.B.C.D         the address it tells (default: its print port's); beyond\n"
               "                       127.0.0.0/8 and 0.0.0.0/8 only with --any-address\n"
               "  --mask A.B.C.D       (default 255.0.0.0)   --gateway A.B.C.D  (default 0.0.0.0)\n"
               "  --baud RATE|0xNN     a speed of the table or any code (default 9600)\n"
               "  --firmware X.Y       (default 1.0)         --dhcp N    DHCP mode byte (default 0)\n"
               "  --inactivity SECONDS (default 0)\n"
               "\n"
               "The UDP side, on port 48781 (only in a namespace with nothing but loopback):\n"
               "  --udp                answer \"FIND\" with \"IMIN\" and the record; take \"SETT\"\n"
               "                       for our MAC and answer \"SETC\"\n"
               "  --any-network        answer UDP even where other interfaces exist\n"
               "  --answer-length N    cut the answer to, or pad it (0xA5) to, N bytes\n"
               "  --answer-count N     answer every FIND N times\n"
               "  --no-answer          never answer FIND\n"
               "  --answer-tag TAG     four characters instead of IMIN\n"
               "  --answer-delay MS    answer MS milliseconds after the FIND\n"
               "  --no-setc            take SETT without answering\n"
               "  --setc-length N      cut or pad the SETC answer to N bytes (default 30)\n"
               "  --setc-delay MS      answer SETC MS milliseconds late\n"
               "  --state FILE         keep the records in FILE across restarts, as a device\n"
               "                       keeps them in flash\n"
               "  --help               this text\n"
               "\n"
               "Prints \"listening on ADDR:PORT\" once ready (per interface; again when SETT\n"
               "moves a print port), \"job N: B bytes from ADDR:PORT\" when a job ends (the\n"
               "sender closed or reset, or a limit above was reached), and with --udp\n"
               "\"udp on 0.0.0.0:48781\" once the UDP side is ready and a line per datagram.\n"
               "SIGINT or SIGTERM finishes the open jobs and ends it.\n"
               "Exit status: 0 after a signal, 1 on a failure at run time, 2 on a bad command\n"
               "line.\n",
            out);
}

}  // namespace vlm::printer
