// The test page printed through a virtual port: six blocks, each a
// zero-terminated text sent together with its zero bytes, and no printer
// control sequences at all, so any printer prints it as plain text.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// The page's blocks for the port `portName`, in the order they are written.
std::array<std::vector<char>, 6> TestPageBlocks(std::string_view portName);
