// What vlmctl prints: JSON for scripts (one document on standard output),
// tables for people. Messages about the run itself go to standard error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vlm::ctl {

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);
std::string JsonStringArray(const std::vector<std::string>& items);

// Columns padded to their widest cell, two spaces apart; the first row is
// the heading.
std::string Table(const std::vector<std::vector<std::string>>& rows);

// "vlmctl: TEXT" on standard error.
void Say(const std::string& text);

}  // namespace vlm::ctl
