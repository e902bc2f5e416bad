// vlmctl's printer search: "FIND" out of every interface that can
// broadcast (to its subnet's broadcast address) and to 255.255.255.255,
// the "IMIN" answers collected for a while, one entry per MAC address with
// the interfaces it answered on, and what looks wrong about it.
#pragma once

#include "broadcast.h"
#include "command_line.h"
#include "printer_record.h"

#include <functional>
#include <string>
#include <vector>

namespace vlm::ctl {

struct FoundPrinter {
    PrinterRecord record{};               // as its first answer carried it
    std::vector<std::string> interfaces;  // where its answers arrived, in order of arrival
    std::vector<unsigned> interfaceIndexes;
    std::string assigned;  // the port the store assigns to its address; empty: none
    std::vector<std::string> conflicts;
};

struct SearchPlan {
    std::vector<NetInterface> all;  // every IPv4 address of the machine
    std::vector<NetInterface> out;  // those the search broadcasts out of
};

// The interfaces to search: every one that can broadcast, or those named
// (a usage error for a name that is no such interface).
SearchPlan PlanSearch(const std::vector<std::string>& names);

// Broadcasts "FIND" as the plan says and collects answers until `ms` have
// passed, or earlier once `enough` says so of the printers found so far.
// Throws std::system_error.
std::vector<FoundPrinter> Search(
        const SearchPlan& plan, int ms, const std::function<bool(const std::vector<FoundPrinter>&)>& enough = {});

// Sends `bytes` the way a printer found on `printer`'s interfaces hears
// it: out of each of them that can broadcast, and to 255.255.255.255 for
// an answer that came another way.
void SendToward(
        BroadcastSocket& socket, const SearchPlan& plan, const FoundPrinter& printer, const std::vector<char>& bytes);

// Fills `assigned` from the assignment store and `conflicts` from the
// whole list: two MACs claiming one address, an address outside the
// subnet of the interface it answered on.
void Judge(std::vector<FoundPrinter>& printers, const SearchPlan& plan);

const FoundPrinter* FindMac(const std::vector<FoundPrinter>& printers, const Mac& mac);

}  // namespace vlm::ctl
