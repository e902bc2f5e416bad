// vlmctl assign / detach: the assignment store written as the tool's Save
// and Detach write it.
#include "assignments.h"
#include "commands.h"
#include "last_search.h"
#include "output.h"
#include "search.h"

#include <arpa/inet.h>

#include <cstring>

namespace vlm::ctl {
namespace {

constexpr int kSearchMs = 3000;

struct Target {
    Ipv4 ip{};
    std::uint16_t port = 0;
    std::string name;  // as the messages call it
};

// "A.B.C.D:PORT", or nothing when the text is no such thing (then it is
// taken for a MAC).
std::optional<Target> ParseAddressPort(std::string_view text)
{
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find('.') == std::string_view::npos)
        return std::nullopt;
    Target target;
    target.ip = ParseIpv4(text.substr(0, colon));
    target.port = static_cast<std::uint16_t>(ParseNumber(text.substr(colon + 1), 1, 65535, "TCP port"));
    if (target.ip[0] == 0)
        throw UsageError("address " + std::string(text) + " is not configured (first octet 0)");
    target.name = std::string(text);
    return target;
}

}  // namespace

int RunAssign(std::span<char* const> args)
{
    Arguments arguments(args, {"timeout"}, {"move"});
    arguments.ExpectPositional(2, "COMn and MAC or A.B.C.D:PORT");
    const std::string port = VirtualPort(arguments.Positional()[0]);
    const std::string& what = arguments.Positional()[1];
    std::optional<Target> target = ParseAddressPort(what);
    const std::optional<Mac> mac = target ? std::nullopt : std::optional<Mac>(ParseMac(what));
    const int ms = TimeoutOption(arguments, kSearchMs);
    if (mac) {
        const SearchPlan plan = PlanSearch({});
        std::vector<FoundPrinter> printers = Search(plan, ms, [&](const auto& found) { return FindMac(found, *mac); });
        const FoundPrinter* found = FindMac(printers, *mac);
        if (!found) {
            Say("no printer " + MacText(mac->data()) + " answered within " + std::to_string(ms) +
                    " ms; nothing written");
            return 1;
        }
        if (found->record.ipAddress[0] == 0 || found->record.GetLocalPort() == 0) {
            Say("printer " + MacText(mac->data()) + " has no IP address or TCP port; configure it first");
            return 1;
        }
        target = Target{};
        std::memcpy(target->ip.data(), found->record.ipAddress, 4);
        target->port = found->record.GetLocalPort();
        target->name =
                MacText(mac->data()) + " (" + Ipv4Text(target->ip.data()) + ":" + std::to_string(target->port) + ")";
        KeepLastSearch(printers);
    }

    in_addr_t ip;
    std::memcpy(&ip, target->ip.data(), sizeof ip);
    // The port the tool would show for this printer now.
    std::string current = CAssignmentTable().Find(ip);
    if (current != kNotAssigned && current != port) {
        if (!arguments.Flag("move")) {
            Say("the printer at " + Ipv4Text(target->ip.data()) + " is assigned to " + current +
                    " already; --move moves it to " + port);
            return 1;
        }
    } else if (current != port) {
        current = kNotAssigned;
    }
    DWORD oldIp = 0, oldPort = 0;
    if (ReadAssignment(port.c_str(), oldIp, oldPort) && oldIp != ip)
        Say(port + " was assigned to " + Ipv4Text(reinterpret_cast<const std::uint8_t*>(&oldIp)) + ":" +
                std::to_string(ntohs(static_cast<std::uint16_t>(oldPort))) + "; it is replaced");
    SaveAssignment(
            current.c_str(), port.c_str(), target->ip[0], target->ip[1], target->ip[2], target->ip[3], target->port);
    DWORD storedIp = 0, storedPort = 0;
    if (!ReadAssignment(port.c_str(), storedIp, storedPort) || storedIp != ip ||
            ntohs(static_cast<std::uint16_t>(storedPort)) != target->port) {
        Say("cannot write the assignment of " + port + " (are you an administrator?)");
        return 1;
    }
    std::printf("%s: assigned to %s%s\n", port.c_str(), target->name.c_str(),
            current != kNotAssigned && current != port ? (", moved from " + current).c_str() : "");
    return 0;
}

int RunDetach(std::span<char* const> args)
{
    Arguments arguments(args, {}, {});
    arguments.ExpectPositional(1, "COMn");
    // A port removed since keeps its assignment until it is detached: any
    // COM name is accepted here.
    const std::string port = ParseComName(arguments.Positional()[0]);
    DWORD ip = 0, tcpPort = 0;
    if (!ReadAssignment(port.c_str(), ip, tcpPort)) {
        Say(port + " is not assigned");
        return 1;
    }
    DeleteAssignment(port.c_str());
    if (ReadAssignment(port.c_str(), ip, tcpPort)) {
        Say("cannot delete the assignment of " + port + " (are you an administrator?)");
        return 1;
    }
    std::printf("%s: detached\n", port.c_str());
    return 0;
}

}  // namespace vlm::ctl
