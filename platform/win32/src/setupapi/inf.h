// INF files: sections of `key = field, field` lines, as Windows' setup
// engine reads them.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>
#include <vector>

namespace vlm::win32::setup {

struct InfLine {
    int number = 0;  // physical line where the logical line begins
    bool hasKey = false;
    std::string key;  // %strkey% tokens already replaced
    std::vector<std::string> fields;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

// Driver packages' INF files are a few kilobytes; a file beyond this is
// not one, and is refused before it is read.
inline constexpr size_t kMaxInfBytes = 4u << 20;

class InfFile {
public:
    // ERROR_SUCCESS; a file error: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
    // ERROR_ACCESS_DENIED (also for a directory, as CreateFile answers),
    // ERROR_BAD_FILE_TYPE (a device, FIFO or socket), ERROR_FILE_TOO_LARGE
    // (over kMaxInfBytes), ERROR_READ_FAULT, ERROR_NOT_ENOUGH_MEMORY; or the
    // syntax error of the first bad line (errorLine() says which). Never
    // throws.
    DWORD Load(const std::string& hostPath);
    DWORD Parse(std::string_view text);

    // Sections and keys compare without regard to case; sections that
    // appear twice are one.
    const InfSection* Section(std::string_view name) const;
    const InfLine* Line(std::string_view section, std::string_view key) const;
    // Field 0 of the line with the key, or nullptr.
    const std::string* Value(std::string_view section, std::string_view key) const;
    int errorLine() const { return errorLine_; }

private:
    DWORD Fail(DWORD error, int line);
    void Substitute();

    std::vector<InfSection> sections_;
    int errorLine_ = 0;
};

bool InfpEqual(std::string_view a, std::string_view b);
// An INF number: 0x... hexadecimal, otherwise decimal. False if malformed.
bool InfpNumber(const std::string& text, DWORD* value);

}  // namespace vlm::win32::setup
