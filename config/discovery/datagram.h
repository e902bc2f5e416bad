// How the dialogs' handlers take a datagram from their endpoint: copied
// into a zero-filled working buffer of 512 bytes (a longer datagram keeps
// its first 512, which hold everything a printer's answer carries), then
// judged by its length and its four-byte tag.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>

using DatagramTag = char[4];

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

private:
    std::array<char, kSize> m_bytes{};
    int m_length;
};
