// vlmctl ports: every virtual port with the printer assigned to it, and,
// from a running vlmhost, whether the port is open and how its last
// session ended.
#include "assignments.h"
#include "commands.h"
#include "last_search.h"
#include "output.h"
#include <vlm/port_activity.h>

#include <arpa/inet.h>

namespace vlm::ctl {

int RunPorts(std::span<char* const> args)
{
    Arguments arguments(args, {}, {"json"});
    arguments.ExpectPositional(0, "no arguments besides options");
    std::vector<std::string> names;
    if (!ListPortNames(names)) {
        Say("no virtual ports: the device tree has no Ports nodes (vlmdevcon install adds one)");
        names.clear();
    }
    const std::vector<std::string> seen = LastSearchLines();
    const auto states = win32::QueryPortActivity();
    std::vector<std::vector<std::string>> rows{{"PORT", "PRINTER", "MAC", "OPEN", "LAST SESSION"}};
    std::string json = "[";
    for (const std::string& name : names) {
        DWORD ip = 0, tcpPort = 0;
        const bool assigned = ReadAssignment(name.c_str(), ip, tcpPort);
        const auto port = ntohs(static_cast<std::uint16_t>(tcpPort));
        const std::string address = Ipv4Text(reinterpret_cast<const std::uint8_t*>(&ip));
        std::optional<std::string> mac;
        if (assigned)
            mac = LastSeenMac(seen, ip, port);
        const win32::PortActivity* state = nullptr;
        if (states)
            for (const win32::PortActivity& s : *states)
                if (s.port == name)
                    state = &s;
        const std::string open = !states ? "?" : state && state->open ? "yes" : "no";
        const std::string last = state && !state->lastSession.empty() ? state->lastSession : "-";
        rows.push_back({name, assigned ? address + ":" + std::to_string(port) : "-", mac.value_or("-"), open, last});

        json += json.size() > 1 ? ",\n " : "\n ";
        json += "{\"port\": " + JsonString(name);
        if (assigned)
            json += ", \"printer\": {\"ip\": " + JsonString(address) + ", \"port\": " + std::to_string(port) +
                    ", \"mac\": " + (mac ? JsonString(*mac) : "null") + "}";
        else
            json += ", \"printer\": null";
        json += std::string(", \"open\": ") + (!states ? "null" : state && state->open ? "true" : "false");
        json += ", \"last_session\": " +
                (state && !state->lastSession.empty() ? JsonString(state->lastSession) : "null");
        json += "}";
    }
    json += names.empty() ? "]\n" : "\n]\n";
    if (!states)
        Say("vlmhost is not running on " + SystemRootPath() + ": open state and sessions unknown");
    std::fputs(arguments.Flag("json") ? json.c_str() : Table(rows).c_str(), stdout);
    return 0;
}

}  // namespace vlm::ctl
