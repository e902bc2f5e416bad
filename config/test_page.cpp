#include "test_page.h"

#include <algorithm>
#include <cstring>

namespace {

// Block 4 holds the port name in a fixed 35 bytes; the name keeps at
// least one zero after it.
constexpr size_t kPortBlockSize = 35;
constexpr char kPortLabel[] = "      Assinged Port :";
// 27 characters between the two line feeds of block 5.
constexpr char kVendorLine[] = " VELMORA Ethernet Interface";
static_assert(sizeof kVendorLine - 1 == 27);

// A text and its terminating zero.
std::vector<char> Terminated(std::string_view text)
{
    std::vector<char> block(text.begin(), text.end());
    block.push_back('\0');
    return block;
}

}  // namespace

std::array<std::vector<char>, 6> TestPageBlocks(std::string_view portName)
{
    const std::string rule = std::string(31, '=') + "\n";
    std::vector<char> port(kPortBlockSize, '\0');
    std::memcpy(port.data(), kPortLabel, sizeof kPortLabel - 1);
    size_t room = kPortBlockSize - 1 - (sizeof kPortLabel - 1);
    std::copy_n(portName.begin(), std::min(room, portName.size()), port.begin() + sizeof kPortLabel - 1);
    return {
            Terminated(rule),
            Terminated("  QuentaroLinkStation Test   \n"),
            Terminated("         Test is OK          \n"),
            std::move(port),
            Terminated(std::string("\n") + kVendorLine + "\n"),
            Terminated(rule),
    };
}
