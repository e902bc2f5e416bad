#include "last_search.h"

#include "commands.h"
#include "output.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlm::ctl {
namespace {

std::string CacheFile()
{
    return SystemRootPath() + "/vlmctl-last-search";
}

// Errors that mean "not yours to keep": no message for those.
bool NotOurs(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || error == ENOENT;
}

}  // namespace

void KeepLastSearch(const std::vector<FoundPrinter>& printers)
{
    const std::string file = CacheFile();
    const std::string temporary = file + ".new";
    std::FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out) {
        if (!NotOurs(errno))
            Say("cannot keep the search in " + file + ": " + std::strerror(errno));
        return;
    }
    // "MAC A.B.C.D PORT", one printer a line.
    for (const FoundPrinter& printer : printers)
        std::fprintf(out, "%s %s %u\n", MacText(printer.record.macAddress).c_str(),
                Ipv4Text(printer.record.ipAddress).c_str(), printer.record.GetLocalPort());
    bool written = std::fflush(out) == 0 && std::ferror(out) == 0;
    written = std::fclose(out) == 0 && written;
    if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        Say("cannot keep the search in " + file + ": " + std::strerror(errno));
        std::remove(temporary.c_str());
    }
}

std::vector<std::string> LastSearchLines()
{
    std::vector<std::string> lines;
    std::ifstream in(CacheFile());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::optional<std::string> LastSeenMac(const std::vector<std::string>& lines, std::uint32_t ip, std::uint16_t port)
{
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&ip);
    const std::string wanted = Ipv4Text(octets) + " " + std::to_string(port);
    for (const std::string& line : lines)
        if (line.size() > 18 && line.substr(18) == wanted)
            return line.substr(0, 17);
    return std::nullopt;
}

}  // namespace vlm::ctl
