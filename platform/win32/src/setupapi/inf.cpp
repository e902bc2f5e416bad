// The INF reader. A logical line ends at a newline not preceded by the
// continuation mark '\'; ';' outside quotes starts a comment; a quoted
// string keeps commas, '=' and ';' and writes a quote as "". %strkey%
// tokens are replaced from [Strings] once the whole file is read, since
// [Strings] usually comes last; %% is a literal percent sign.
#include "setupapi/inf.h"

#include <winerror.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <new>

namespace vlm::win32::setup {
namespace {

// Windows limits section names to this many characters.
constexpr size_t kMaxSectionName = 255;

std::string Folded(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = char(toupper(static_cast<unsigned char>(c)));
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

std::string Trim(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

// UTF-16LE files (with their byte order mark) are read as Latin-1, the
// ANSI code page.
std::string Decode(std::string bytes)
{
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return bytes.substr(3);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
            static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::string out;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
            out.push_back(unit <= 0xFF ? char(unit) : '?');
        }
        return out;
    }
    return bytes;
}

}  // namespace

bool InfpEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool InfpNumber(const std::string& text, DWORD* value)
{
    if (text.empty())
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.c_str() + (hex ? 2 : 0);
    char* end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(begin, &end, hex ? 16 : 10);
    if (*begin == '-' || *begin == '+' || end == begin || *end != '\0' || errno == ERANGE || number > 0xFFFFFFFFull)
        return false;
    *value = DWORD(number);
    return true;
}

DWORD InfFile::Fail(DWORD error, int line)
{
    errorLine_ = line;
    sections_.clear();
    return error;
}

namespace {

// The Win32 error for a failed open or read of an INF file.
DWORD FileError(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;  // a directory, as CreateFile answers for one
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    default:
        return ERROR_READ_FAULT;
    }
}

// Reads a whole INF file of at most kMaxInfBytes into *bytes.
DWORD ReadInfFile(const std::string& hostPath, std::string* bytes)
{
    // O_NONBLOCK: a FIFO must not hold the open up; it is refused below.
    int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return FileError(errno);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0)
        return FileError(errno);
    if (S_ISDIR(st.st_mode))
        return FileError(EISDIR);
    // Devices, FIFOs and sockets hold no INF (/dev/zero would never end).
    if (!S_ISREG(st.st_mode))
        return ERROR_BAD_FILE_TYPE;
    if (st.st_size > off_t(kMaxInfBytes))
        return ERROR_FILE_TOO_LARGE;
    try {
        bytes->resize(size_t(st.st_size));
        size_t done = 0;
        // The file may grow or shrink while it is read: read to its end,
        // never beyond the bound.
        for (;;) {
            if (done == bytes->size()) {
                if (bytes->size() > kMaxInfBytes)
                    return ERROR_FILE_TOO_LARGE;
                bytes->resize(std::min(bytes->size() + 4096, kMaxInfBytes + 1));
            }
            ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FileError(errno);
            if (n == 0)
                break;
            done += size_t(n);
        }
        bytes->resize(done);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD InfFile::Load(const std::string& hostPath)
{
    sections_.clear();
    errorLine_ = 0;
    std::string bytes;
    if (DWORD error = ReadInfFile(hostPath, &bytes))
        return error;
    try {
        return Parse(Decode(std::move(bytes)));
    } catch (const std::bad_alloc&) {
        sections_.clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD InfFile::Parse(std::string_view text)
{
    sections_.clear();
    errorLine_ = 0;
    std::vector<std::string> physical;
    {
        std::string line;
        for (char c : text) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                physical.push_back(std::move(line));
                line.clear();
            } else {
                line.push_back(c);
            }
        }
        if (!line.empty())
            physical.push_back(std::move(line));
    }

    std::map<std::string, size_t> byName;  // folded name -> index in sections_
    InfSection* current = nullptr;
    for (size_t index = 0; index < physical.size(); ++index) {
        int number = int(index) + 1;
        const std::string& first = physical[index];
        size_t start = 0;
        while (start < first.size() && IsBlank(first[start]))
            ++start;
        if (start < first.size() && first[start] == '[') {
            size_t close = first.find(']', start + 1);
            if (close == std::string::npos)
                return Fail(ERROR_BAD_SECTION_NAME_LINE, number);
            std::string rest = Trim(std::string_view(first).substr(close + 1));
            if (!rest.empty() && rest[0] != ';')
                return Fail(ERROR_BAD_SECTION_NAME_LINE, number);
            std::string name = Trim(std::string_view(first).substr(start + 1, close - start - 1));
            if (name.size() > kMaxSectionName)
                return Fail(ERROR_SECTION_NAME_TOO_LONG, number);
            if (name.empty())
                return Fail(ERROR_BAD_SECTION_NAME_LINE, number);
            auto [it, added] = byName.emplace(Folded(name), sections_.size());
            if (added)
                sections_.push_back(InfSection{name, {}});
            current = &sections_[it->second];
            continue;
        }

        // One logical line: fields split at unquoted commas, the key at the
        // first unquoted '=' before any comma.
        InfLine line;
        line.number = number;
        std::string field;
        bool quoted = false;       // inside "..."
        bool anyContent = false;   // a character or a quote seen
        bool fieldQuoted = false;  // the field held a quoted part
        std::string pendingBlank;  // unquoted blanks, kept only if more follows
        auto endField = [&] {
            line.fields.push_back(field);
            field.clear();
            pendingBlank.clear();
            fieldQuoted = false;
        };
        size_t row = index;
        size_t i = 0;
        bool done = false;
        while (!done) {
            const std::string& text = physical[row];
            if (i >= text.size()) {
                if (quoted)
                    return Fail(ERROR_GENERAL_SYNTAX, number);
                done = true;
                break;
            }
            char c = text[i];
            if (quoted) {
                if (c == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field.push_back('"');
                        i += 2;
                        continue;
                    }
                    quoted = false;
                } else {
                    field.push_back(c);
                }
                ++i;
                continue;
            }
            if (c == ';')
                break;
            if (c == '\\') {
                // The continuation mark: nothing but blanks or a comment
                // after it joins the next physical line.
                size_t after = i + 1;
                while (after < text.size() && IsBlank(text[after]))
                    ++after;
                if ((after == text.size() || text[after] == ';') && row + 1 < physical.size()) {
                    ++row;
                    i = 0;
                    continue;
                }
            }
            if (c == '"') {
                if (!field.empty() || fieldQuoted)
                    field += pendingBlank;
                pendingBlank.clear();
                quoted = true;
                fieldQuoted = true;
                anyContent = true;
                ++i;
                continue;
            }
            if (c == '=' && !line.hasKey && line.fields.empty()) {
                line.hasKey = true;
                line.key = field;
                field.clear();
                pendingBlank.clear();
                fieldQuoted = false;
                anyContent = true;
                ++i;
                continue;
            }
            if (c == ',') {
                endField();
                anyContent = true;
                ++i;
                continue;
            }
            if (IsBlank(c)) {
                if (!field.empty() || fieldQuoted)
                    pendingBlank.push_back(c);
            } else {
                field += pendingBlank;
                pendingBlank.clear();
                field.push_back(c);
                anyContent = true;
            }
            ++i;
        }
        index = row;
        if (!anyContent)
            continue;
        endField();
        if (!current)
            return Fail(ERROR_EXPECTED_SECTION_NAME, number);
        current->lines.push_back(std::move(line));
    }
    Substitute();
    return ERROR_SUCCESS;
}

void InfFile::Substitute()
{
    std::map<std::string, std::string> strings;
    if (const InfSection* section = Section("Strings"))
        for (const InfLine& line : section->lines)
            if (line.hasKey && !line.fields.empty())
                strings.emplace(Folded(line.key), line.fields[0]);
    auto replace = [&](std::string& text) {
        if (text.find('%') == std::string::npos)
            return;
        std::string out;
        for (size_t i = 0; i < text.size();) {
            size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
            if (close == std::string::npos) {
                out.push_back(text[i++]);
                continue;
            }
            std::string token = text.substr(i + 1, close - i - 1);
            if (token.empty()) {
                out.push_back('%');
            } else if (auto found = strings.find(Folded(token)); found != strings.end()) {
                out += found->second;
            } else {
                // Unknown tokens (directory ids like %12% among them) stay
                // for whoever interprets the field.
                out += text.substr(i, close - i + 1);
            }
            i = close + 1;
        }
        text = std::move(out);
    };
    for (InfSection& section : sections_) {
        if (InfpEqual(section.name, "Strings"))
            continue;
        for (InfLine& line : section.lines) {
            replace(line.key);
            for (std::string& field : line.fields)
                replace(field);
        }
    }
}

const InfSection* InfFile::Section(std::string_view name) const
{
    for (const InfSection& section : sections_)
        if (InfpEqual(section.name, name))
            return &section;
    return nullptr;
}

const InfLine* InfFile::Line(std::string_view section, std::string_view key) const
{
    const InfSection* found = Section(section);
    if (!found)
        return nullptr;
    for (const InfLine& line : found->lines)
        if (line.hasKey && InfpEqual(line.key, key))
            return &line;
    return nullptr;
}

const std::string* InfFile::Value(std::string_view section, std::string_view key) const
{
    const InfLine* line = Line(section, key);
    return line && !line->fields.empty() ? &line->fields[0] : nullptr;
}

}  // namespace vlm::win32::setup
