// The datagrams between the tool and the printers' Ethernet interfaces, on
// UDP from port 48780 to port 48781: "FIND" is answered "IMIN" and the
// printer's record; "SETT" and an edited record is answered "SETC".
//
// How a receiver takes a datagram: copied into a zero-filled working
// buffer of 512 bytes (a longer datagram keeps its first 512, which hold
// everything a printer's answer carries), then judged by its length and
// its four-byte tag.
#pragma once

#include "printer_record.h"

#include <algorithm>
#include <array>
#include <cstring>

using DatagramTag = char[4];

inline constexpr int kToolUdpPort = 48780;
inline constexpr int kPrinterUdpPort = 48781;

inline constexpr char kSearchRequest[4] = {'F', 'I', 'N', 'D'};
inline constexpr DatagramTag kAnswerTag = {'I', 'M', 'I', 'N'};
inline constexpr char kConfigTag[4] = {'S', 'E', 'T', 'T'};
// Only the tag of a reply matters.
inline constexpr DatagramTag kReplyTag = {'S', 'E', 'T', 'C'};

using ConfigDatagram = std::array<char, sizeof kConfigTag + sizeof(PrinterRecord)>;

// "SETT" and the 26 bytes of the record, as the printer takes them.
inline ConfigDatagram MakeConfigDatagram(const PrinterRecord& record)
{
    ConfigDatagram datagram;
    std::memcpy(datagram.data(), kConfigTag, sizeof kConfigTag);
    std::memcpy(datagram.data() + sizeof kConfigTag, &record, sizeof record);
    return datagram;
}

class CWorkingDatagram {
public:
    static constexpr int kSize = 512;

    CWorkingDatagram(const char* data, int length) : m_length(length)
    {
        std::memcpy(m_bytes.data(), data, static_cast<size_t>(std::clamp(length, 0, kSize)));
    }

    // At least the tag and one byte more, beginning with `tag`.
    bool Is(const DatagramTag& tag) const
    {
        return m_length >= static_cast<int>(sizeof tag) + 1 && std::memcmp(m_bytes.data(), tag, sizeof tag) == 0;
    }
    // The bytes after the tag; those the datagram lacks are zeros.
    const char* Body() const { return m_bytes.data() + sizeof(DatagramTag); }
    // The record of an answer; a short answer's missing bytes are zeros.
    PrinterRecord Record() const
    {
        PrinterRecord record;
        std::memcpy(&record, Body(), sizeof record);
        return record;
    }

private:
    std::array<char, kSize> m_bytes{};
    int m_length;
};
