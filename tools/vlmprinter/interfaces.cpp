#include "interfaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace vlm::printer {

namespace {

void PutAddress(Record& record, std::size_t offset, std::uint32_t address)
{
    for (int i = 0; i < 4; ++i)
        record[offset + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
}

Record MakeRecord(const Options& options, unsigned index, std::uint32_t listenAddress)
{
    const Options::Record& base = options.record;
    Record record{};
    // The MAC counts up in its last three bytes, the vendor's part stays.
    std::uint32_t serial = (base.mac[3] << 16 | base.mac[4] << 8 | base.mac[5]) + index;
    for (int i = 0; i < 3; ++i)
        record[i] = base.mac[i];
    record[3] = static_cast<std::uint8_t>(serial >> 16);
    record[4] = static_cast<std::uint8_t>(serial >> 8);
    record[5] = static_cast<std::uint8_t>(serial);
    PutAddress(record, 6, base.address ? *base.address + index : listenAddress);
    PutAddress(record, 10, base.mask);
    PutAddress(record, 14, base.gateway);
    record[18] = static_cast<std::uint8_t>(options.port >> 8);
    record[19] = static_cast<std::uint8_t>(options.port);
    record[20] = base.baudCode;
    record[21] = base.firmwareMajor;
    record[22] = base.firmwareMinor;
    record[23] = base.dhcpMode;
    record[24] = static_cast<std::uint8_t>(base.inactivity >> 8);
    record[25] = static_cast<std::uint8_t>(base.inactivity);
    return record;
}

std::string ToHex(const Record& record)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : record) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xf];
    }
    return text;
}

// One record per line, 52 hex digits; none when the file does not exist.
std::vector<Record> LoadRecords(const std::string& file)
{
    std::ifstream in(file);
    if (!in) {
        if (errno == ENOENT)
            return {};
        throw std::system_error(errno, std::generic_category(), "--state: cannot read " + file);
    }
    std::vector<Record> records;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        auto bytes = ParseHex(line);
        if (!bytes || bytes->size() != Record().size())
            throw std::runtime_error(
                    "--state: " + file + " line " + std::to_string(number) + " is not a record (52 hex digits)");
        Record record;
        for (std::size_t i = 0; i < record.size(); ++i)
            record[i] = static_cast<std::uint8_t>((*bytes)[i]);
        records.push_back(record);
    }
    return records;
}

}  // namespace

std::uint32_t RecordAddress(const Record& record)
{
    return std::uint32_t(record[6]) << 24 | record[7] << 16 | record[8] << 8 | record[9];
}

std::uint16_t RecordPort(const Record& record)
{
    return static_cast<std::uint16_t>(record[18] << 8 | record[19]);
}

std::string FormatMac(const std::uint8_t* mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool IsLoopback(std::uint32_t address)
{
    return (address >> 24) == 127;
}

std::vector<Interface> OpenInterfaces(const Options& options, int jobsDir)
{
    std::vector<Record> stored;
    if (!options.stateFile.empty())
        stored = LoadRecords(options.stateFile);

    std::vector<Interface> interfaces(options.interfaces);
    for (unsigned i = 0; i < options.interfaces; ++i) {
        Interface& interface = interfaces[i];
        const std::uint32_t listenAddress = options.address + i;
        interface.record = i < stored.size() ? stored[i] : MakeRecord(options, i, listenAddress);
        const std::uint32_t told = RecordAddress(interface.record);
        const std::uint32_t address = IsLoopback(told) ? told : listenAddress;
        interface.server = std::make_unique<PrintServer>(options, address, RecordPort(interface.record), jobsDir);
        const std::uint16_t bound = ntohs(interface.server->LocalAddress().sin_port);
        interface.record[18] = static_cast<std::uint8_t>(bound >> 8);
        interface.record[19] = static_cast<std::uint8_t>(bound);
    }
    return interfaces;
}

void SaveRecords(const std::string& file, const std::vector<Interface>& interfaces)
{
    std::string text;
    for (const Interface& interface : interfaces)
        text += ToHex(interface.record) + "\n";
    const std::string temporary = file + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "--state: cannot write " + temporary);
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            close(fd);
            throw std::system_error(error, std::generic_category(), "--state: cannot write " + temporary);
        }
        written += static_cast<std::size_t>(n);
    }
    // Flash keeps what it was told through a power cut: the file is on disk
    // before it replaces the old one.
    if (fsync(fd) != 0) {
        int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "--state: cannot write " + temporary);
    }
    if (close(fd) != 0)
        throw std::system_error(errno, std::generic_category(), "--state: cannot write " + temporary);
    if (rename(temporary.c_str(), file.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "--state: cannot replace " + file);
}

}  // namespace vlm::printer
