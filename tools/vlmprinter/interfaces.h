// The printer's Ethernet interfaces: each one's 26-byte record, as it
// travels in the discovery answer and the configuration datagram, and its
// print port. With --state the records are kept in a file, as a device
// keeps them in flash.
#pragma once

#include "options.h"
#include "print_server.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlm::printer {

// MAC (0-5), address (6-9), mask (10-13), gateway (14-17), TCP port
// (18-19, big-endian), baud code (20), firmware (21, 22), DHCP mode (23),
// inactivity time (24-25, big-endian).
using Record = std::array<std::uint8_t, 26>;

std::uint32_t RecordAddress(const Record& record);  // host byte order
std::uint16_t RecordPort(const Record& record);
std::string FormatMac(const std::uint8_t* mac);

struct Interface {
    Record record{};
    std::unique_ptr<PrintServer> server;
};

// Whether a record's address is one a print port follows it to: 127.0.0.0/8.
// A record may tell any address; the simulated printer listens on loopback
// only (or where --listen --any-address put it).
bool IsLoopback(std::uint32_t address);

// Builds the interfaces the options describe, takes their records from the
// state file where it has them, and binds each print port at its record's
// address and port (the command line's address when the record's is not
// loopback). A record asking for port 0 gets the port chosen.
// Throws std::runtime_error or std::system_error.
std::vector<Interface> OpenInterfaces(const Options& options, int jobsDir);

// Replaces the state file with the interfaces' records, atomically.
// Throws std::system_error.
void SaveRecords(const std::string& file, const std::vector<Interface>& interfaces);

}  // namespace vlm::printer
