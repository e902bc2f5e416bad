// What the last search saw, kept under the system root so that `vlmctl
// ports` can name the printer behind an assigned address by its MAC. A
// cache: a user who may not write there simply has none.
#pragma once

#include "search.h"

#include <optional>
#include <string>
#include <vector>

namespace vlm::ctl {

void KeepLastSearch(const std::vector<FoundPrinter>& printers);

// The MAC of the printer the last search saw at ip:port (network byte
// order address, host order port), if it saw one.
std::optional<std::string> LastSeenMac(const std::vector<std::string>& lines, std::uint32_t ip, std::uint16_t port);
std::vector<std::string> LastSearchLines();

}  // namespace vlm::ctl
