// vlmctl search: the printers on every link, as a table or as JSON.
#include "commands.h"
#include "last_search.h"
#include "output.h"
#include "search.h"

#include <cstdio>

namespace vlm::ctl {
namespace {

constexpr int kSearchMs = 3000;

std::string BaudText(const PrinterRecord& record)
{
    DWORD rate = BaudRateFromCode(record.baudCode);
    char code[16];
    std::snprintf(code, sizeof code, "code 0x%02X", record.baudCode);
    return rate ? std::to_string(rate) : std::string(code);
}

std::string Firmware(const PrinterRecord& record)
{
    return std::to_string(record.firmwareMajor) + "." + std::to_string(record.firmwareMinor);
}

std::string Joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ",") + item;
    return out;
}

void PrintJson(const std::vector<FoundPrinter>& printers)
{
    std::string out = "[";
    for (std::size_t i = 0; i < printers.size(); ++i) {
        const FoundPrinter& p = printers[i];
        const PrinterRecord& r = p.record;
        DWORD rate = BaudRateFromCode(r.baudCode);
        out += i ? ",\n " : "\n ";
        out += "{\"mac\": " + JsonString(MacText(r.macAddress));
        out += ", \"ip\": " + JsonString(Ipv4Text(r.ipAddress));
        out += ", \"mask\": " + JsonString(Ipv4Text(r.subnetMask));
        out += ", \"gateway\": " + JsonString(Ipv4Text(r.gateway));
        out += ", \"port\": " + std::to_string(r.GetLocalPort());
        out += ", \"baud\": " + (rate ? std::to_string(rate) : std::string("null"));
        out += ", \"baud_code\": " + std::to_string(r.baudCode);
        out += ", \"firmware\": " + JsonString(Firmware(r));
        out += std::string(", \"dhcp\": ") + (r.dhcpMode ? "true" : "false");
        out += ", \"inactivity\": " + std::to_string(r.GetInactivityTime());
        out += ", \"interfaces\": " + JsonStringArray(p.interfaces);
        out += ", \"assigned\": " + (p.assigned.empty() ? std::string("null") : JsonString(p.assigned));
        out += ", \"conflicts\": " + JsonStringArray(p.conflicts) + "}";
    }
    out += printers.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
}

void PrintTable(const std::vector<FoundPrinter>& printers)
{
    std::vector<std::vector<std::string>> rows{{"MAC", "IP", "MASK", "GATEWAY", "PORT", "BAUD", "FIRMWARE", "DHCP",
            "INACTIVITY", "INTERFACES", "ASSIGNED"}};
    std::vector<std::string> conflicts;
    for (const FoundPrinter& p : printers) {
        const PrinterRecord& r = p.record;
        rows.push_back({MacText(r.macAddress), r.ipAddress[0] ? Ipv4Text(r.ipAddress) : "not configured",
                Ipv4Text(r.subnetMask), Ipv4Text(r.gateway), std::to_string(r.GetLocalPort()), BaudText(r), Firmware(r),
                r.dhcpMode ? "on" : "off", std::to_string(r.GetInactivityTime()), Joined(p.interfaces),
                p.assigned.empty() ? "-" : p.assigned});
        for (const std::string& conflict : p.conflicts)
            conflicts.push_back("conflict: " + MacText(r.macAddress) + ": " + conflict);
    }
    std::string out = Table(rows);
    for (const std::string& conflict : conflicts)
        out += conflict + "\n";
    std::fputs(out.c_str(), stdout);
}

}  // namespace

int RunSearch(std::span<char* const> args)
{
    Arguments arguments(args, {"interface", "timeout"}, {"json"});
    arguments.ExpectPositional(0, "no arguments besides options");
    const int ms = TimeoutOption(arguments, kSearchMs);
    const SearchPlan plan = PlanSearch(arguments.Values("interface"));
    std::vector<FoundPrinter> printers = Search(plan, ms);
    Judge(printers, plan);
    KeepLastSearch(printers);
    if (arguments.Flag("json"))
        PrintJson(printers);
    else if (printers.empty())
        Say("no printer answered within " + std::to_string(ms) + " ms");
    else
        PrintTable(printers);
    return 0;
}

}  // namespace vlm::ctl
