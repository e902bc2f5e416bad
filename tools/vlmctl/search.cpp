#include "search.h"

#include "assignments.h"
#include "datagram.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace vlm::ctl {
namespace {

bool Configured(const PrinterRecord& record)
{
    return record.ipAddress[0] != 0;
}

in_addr_t AddressOf(const PrinterRecord& record)
{
    in_addr_t address;
    std::memcpy(&address, record.ipAddress, sizeof address);
    return address;
}

std::string AddressText(in_addr_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{address};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

int PrefixLength(in_addr_t mask)
{
    return __builtin_popcount(ntohl(mask));
}

}  // namespace

SearchPlan PlanSearch(const std::vector<std::string>& names)
{
    SearchPlan plan;
    plan.all = IPv4Interfaces();
    for (const NetInterface& net : plan.all)
        if (net.canBroadcast && (names.empty() || std::find(names.begin(), names.end(), net.name) != names.end()))
            plan.out.push_back(net);
    for (const std::string& name : names)
        if (std::none_of(plan.out.begin(), plan.out.end(), [&](const NetInterface& net) { return net.name == name; }))
            throw UsageError("no interface '" + name + "' that is up, has an IPv4 address and can broadcast");
    return plan;
}

std::vector<FoundPrinter> Search(
        const SearchPlan& plan, int ms, const std::function<bool(const std::vector<FoundPrinter>&)>& enough)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    BroadcastSocket socket(kToolUdpPort);
    const std::vector<char> request(std::begin(kSearchRequest), std::end(kSearchRequest));
    for (const NetInterface& net : plan.out)
        socket.Send(request, net.broadcast, kPrinterUdpPort, &net);
    socket.Send(request, INADDR_BROADCAST, kPrinterUdpPort, nullptr);

    std::vector<FoundPrinter> printers;
    std::map<std::string, std::size_t> byMac;
    while (!(enough && enough(printers))) {
        auto arrival = socket.Receive(deadline);
        if (!arrival)
            break;
        CWorkingDatagram answer(arrival->bytes.data(), static_cast<int>(arrival->bytes.size()));
        if (!answer.Is(kAnswerTag))
            continue;
        const PrinterRecord record = answer.Record();
        const std::string mac = MacText(record.macAddress);
        auto [entry, fresh] = byMac.emplace(mac, printers.size());
        if (fresh)
            printers.push_back(FoundPrinter{record, {}, {}, {}, {}});
        FoundPrinter& printer = printers[entry->second];
        // A printer on this machine hears every broadcast we send, looped
        // back, and answers from our own address on whichever link that
        // was: it is on loopback, whatever way its answer came.
        unsigned index = arrival->interfaceIndex;
        const in_addr_t from = arrival->from.sin_addr.s_addr;
        if (std::any_of(plan.all.begin(), plan.all.end(), [&](const NetInterface& net) { return net.address == from; }))
            for (const NetInterface& net : plan.all)
                if ((ntohl(net.address) >> 24) == 127)
                    index = net.index;
        char name[64] = "?";
        for (const NetInterface& net : plan.all)
            if (net.index == index)
                std::snprintf(name, sizeof name, "%s", net.name.c_str());
        if (std::find(printer.interfaces.begin(), printer.interfaces.end(), name) == printer.interfaces.end()) {
            printer.interfaces.emplace_back(name);
            printer.interfaceIndexes.push_back(index);
        }
    }
    return printers;
}

void SendToward(
        BroadcastSocket& socket, const SearchPlan& plan, const FoundPrinter& printer, const std::vector<char>& bytes)
{
    bool everywhere = false;
    for (unsigned index : printer.interfaceIndexes) {
        auto out = std::find_if(
                plan.out.begin(), plan.out.end(), [&](const NetInterface& net) { return net.index == index; });
        if (out != plan.out.end())
            socket.Send(bytes, out->broadcast, kPrinterUdpPort, &*out);
        else
            everywhere = true;
    }
    if (everywhere)
        socket.Send(bytes, INADDR_BROADCAST, kPrinterUdpPort, nullptr);
}

void Judge(std::vector<FoundPrinter>& printers, const SearchPlan& plan)
{
    const CAssignmentTable assignments;
    for (FoundPrinter& printer : printers) {
        // Looked up from the four octets as the tool does, configured or not.
        std::string assigned = assignments.Find(AddressOf(printer.record));
        printer.assigned = assigned == kNotAssigned ? std::string() : assigned;
        if (!Configured(printer.record))
            continue;
        const in_addr_t address = AddressOf(printer.record);
        for (const FoundPrinter& other : printers)
            if (&other != &printer && Configured(other.record) && AddressOf(other.record) == address)
                printer.conflicts.push_back(
                        "address " + AddressText(address) + " also claimed by " + MacText(other.record.macAddress));
        for (std::size_t i = 0; i < printer.interfaces.size(); ++i) {
            std::vector<const NetInterface*> nets;
            for (const NetInterface& net : plan.all)
                if (net.index == printer.interfaceIndexes[i])
                    nets.push_back(&net);
            bool inside = std::any_of(nets.begin(), nets.end(),
                    [&](const NetInterface* net) { return (address & net->mask) == (net->address & net->mask); });
            if (!nets.empty() && !inside)
                printer.conflicts.push_back("address " + AddressText(address) + " is not in the subnet of " +
                        printer.interfaces[i] + " (" + AddressText(nets[0]->address & nets[0]->mask) + "/" +
                        std::to_string(PrefixLength(nets[0]->mask)) + ")");
        }
    }
}

const FoundPrinter* FindMac(const std::vector<FoundPrinter>& printers, const Mac& mac)
{
    for (const FoundPrinter& printer : printers)
        if (std::memcmp(printer.record.macAddress, mac.data(), mac.size()) == 0)
            return &printer;
    return nullptr;
}

}  // namespace vlm::ctl
