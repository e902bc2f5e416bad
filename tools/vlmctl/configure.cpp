// vlmctl configure: a printer's network settings changed, and believed
// only once the printer itself reports them. "SETC" carries no MAC and no
// record, so any device can send one; only a search that finds the new
// settings under the printer's MAC proves the save.
#include "assignments.h"
#include "commands.h"
#include "datagram.h"
#include "last_search.h"
#include "output.h"
#include "search.h"

#include <cstring>

namespace vlm::ctl {
namespace {

constexpr int kDefaultMs = 3000;
// The verification searches again until the printer reports the settings,
// at most this many times the time given to one search.
constexpr int kVerifyRounds = 3;
// One verifying search listens at most this long when the printer is quick.
constexpr int kVerifySliceMs = 1000;

struct Change {
    std::optional<Ipv4> ip, mask, gateway;
    std::optional<std::uint16_t> port;
    std::optional<std::uint8_t> baudCode;
    std::optional<bool> dhcp;
    std::optional<std::uint16_t> inactivity;
    std::optional<std::string> assign;
};

Change ParseChange(const Arguments& args)
{
    Change change;
    if (auto v = args.Value("ip"))
        change.ip = ParseIpv4(*v);
    if (auto v = args.Value("mask"))
        change.mask = ParseIpv4(*v);
    if (auto v = args.Value("gateway"))
        change.gateway = ParseIpv4(*v);
    if (auto v = args.Value("port"))
        change.port = static_cast<std::uint16_t>(ParseNumber(*v, 1, 65535, "--port"));
    if (auto v = args.Value("baud"))
        change.baudCode = ParseBaud(*v);
    if (auto v = args.Value("dhcp"))
        change.dhcp = ParseOnOff(*v, "--dhcp");
    if (auto v = args.Value("inactivity"))
        change.inactivity = static_cast<std::uint16_t>(ParseNumber(*v, 0, 65535, "--inactivity"));
    if (auto v = args.Value("assign"))
        change.assign = VirtualPort(*v);
    return change;
}

PrinterRecord Apply(PrinterRecord record, const Change& change)
{
    if (change.ip)
        std::memcpy(record.ipAddress, change.ip->data(), 4);
    if (change.mask)
        std::memcpy(record.subnetMask, change.mask->data(), 4);
    if (change.gateway)
        std::memcpy(record.gateway, change.gateway->data(), 4);
    if (change.port)
        record.SetLocalPort(*change.port);
    if (change.baudCode)
        record.baudCode = *change.baudCode;
    if (change.dhcp)
        record.dhcpMode = *change.dhcp ? 1 : 0;
    if (change.inactivity)
        record.SetInactivityTime(*change.inactivity);
    return record;
}

// Whether `seen` shows what was sent. A DHCP printer takes its addresses
// from the network: those are not compared then.
bool Shows(const PrinterRecord& seen, const PrinterRecord& sent)
{
    if (!sent.dhcpMode)
        return std::memcmp(&seen, &sent, sizeof seen) == 0;
    PrinterRecord a = seen, b = sent;
    for (PrinterRecord* r : {&a, &b}) {
        std::memset(r->ipAddress, 0, 4);
        std::memset(r->subnetMask, 0, 4);
        std::memset(r->gateway, 0, 4);
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string Describe(const PrinterRecord& r)
{
    return Ipv4Text(r.ipAddress) + " mask " + Ipv4Text(r.subnetMask) + " gateway " + Ipv4Text(r.gateway) + " port " +
            std::to_string(r.GetLocalPort()) + " baud code " + std::to_string(r.baudCode) + " dhcp " +
            (r.dhcpMode ? "on" : "off") + " inactivity " + std::to_string(r.GetInactivityTime());
}

// Waits for "SETC" from anyone, as the tool does; its sender is named.
std::optional<std::string> AwaitReply(BroadcastSocket& socket, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (auto arrival = socket.Receive(deadline)) {
        CWorkingDatagram reply(arrival->bytes.data(), static_cast<int>(arrival->bytes.size()));
        if (reply.Is(kReplyTag)) {
            const auto* from = reinterpret_cast<const std::uint8_t*>(&arrival->from.sin_addr.s_addr);
            return Ipv4Text(from);
        }
    }
    return std::nullopt;
}

}  // namespace

int RunConfigure(std::span<char* const> args)
{
    Arguments arguments(args, {"ip", "mask", "gateway", "port", "baud", "dhcp", "inactivity", "assign", "timeout"}, {});
    arguments.ExpectPositional(1, "MAC");
    const Mac mac = ParseMac(arguments.Positional()[0]);
    const Change change = ParseChange(arguments);
    const int ms = TimeoutOption(arguments, kDefaultMs);
    const SearchPlan plan = PlanSearch({});

    const std::string macText = MacText(mac.data());
    std::vector<FoundPrinter> printers = Search(plan, ms, [&](const auto& found) { return FindMac(found, mac); });
    const FoundPrinter* found = FindMac(printers, mac);
    if (!found) {
        Say("no printer " + macText + " answered within " + std::to_string(ms) + " ms; nothing sent");
        return 1;
    }
    const PrinterRecord before = found->record;
    const PrinterRecord wanted = Apply(before, change);
    if (change.assign && (wanted.ipAddress[0] == 0 || wanted.GetLocalPort() == 0))
        throw UsageError("cannot assign " + macText + ": its IP address or TCP port is not set (give --ip and --port)");

    {
        BroadcastSocket socket(kToolUdpPort);
        const ConfigDatagram datagram = MakeConfigDatagram(wanted);
        SendToward(socket, plan, *found, std::vector<char>(datagram.begin(), datagram.end()));
        auto replied = AwaitReply(socket, ms);
        if (!replied) {
            Say("no \"SETC\" within " + std::to_string(ms) + " ms: " + macText + " did not confirm; nothing assigned");
            return 1;
        }
        Say("\"SETC\" from " + *replied + "; verifying");
    }

    // The printer may take a moment to restart its interface: search again
    // until it shows the settings, within the bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms) * kVerifyRounds;
    std::optional<PrinterRecord> seen;
    bool verified = false;
    while (!verified && std::chrono::steady_clock::now() < deadline) {
        printers = Search(plan, std::min(ms, kVerifySliceMs), [&](const auto& now) {
            const FoundPrinter* p = FindMac(now, mac);
            return p && Shows(p->record, wanted);
        });
        if (const FoundPrinter* p = FindMac(printers, mac)) {
            seen = p->record;
            verified = Shows(p->record, wanted);
        }
    }
    Judge(printers, plan);
    KeepLastSearch(printers);
    if (!verified) {
        Say("not verified: " + macText +
                (seen ? " still reports " + Describe(*seen) : std::string(" no longer answers")) + "; wanted " +
                Describe(wanted) + "; nothing assigned");
        return 1;
    }
    std::printf("%s: verified %s\n", macText.c_str(), Describe(wanted).c_str());
    if (change.assign) {
        // As the tool's Save: the printer's previous port (by its old
        // address) loses its assignment, the chosen one gets the new one.
        in_addr_t old;
        std::memcpy(&old, before.ipAddress, sizeof old);
        const std::string current = CAssignmentTable().Find(old);
        SaveAssignment(current.c_str(), change.assign->c_str(), wanted.ipAddress[0], wanted.ipAddress[1],
                wanted.ipAddress[2], wanted.ipAddress[3], wanted.GetLocalPort());
        DWORD ip = 0, port = 0;
        in_addr_t expected;
        std::memcpy(&expected, wanted.ipAddress, sizeof expected);
        if (!ReadAssignment(change.assign->c_str(), ip, port) || ip != expected) {
            Say("cannot write the assignment of " + *change.assign + " (are you an administrator?)");
            return 1;
        }
        std::printf("%s: assigned to %s:%u%s\n", change.assign->c_str(), Ipv4Text(wanted.ipAddress).c_str(),
                wanted.GetLocalPort(),
                current != kNotAssigned && current != *change.assign ? (" (was on " + current + ")").c_str() : "");
    }
    return 0;
}

}  // namespace vlm::ctl
