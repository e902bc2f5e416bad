// The INF reader and the package checks on any file a caller may name:
// the bytes go through the same read as an INF on disk (a memory file, so
// the byte-order marks and the size bound are on the path), then the class
// and the driver package are read for both builds' hardware ids. Nothing
// may crash, throw or read out of bounds; a file the reader accepts must
// give an error code or a package, never both or neither.
#include "fuzz_support.h"
#include "setupapi/inf.h"
#include "setupapi/package.h"

#include <winerror.h>

#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace {

using namespace vlm::win32::setup;
using vlm::fuzz::Violated;

// One memory file for the whole run, rewritten for every input.
const std::string& MemoryFile()
{
    static const std::string path = [] {
        int fd = memfd_create("fuzz.INF", MFD_CLOEXEC);
        if (fd < 0)
            Violated("memfd_create failed");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

int MemoryFd()
{
    static const int fd = std::stoi(MemoryFile().substr(MemoryFile().rfind('/') + 1));
    return fd;
}

void ReadPackage(const InfFile& inf)
{
    GUID guid{};
    std::string className;
    DWORD classError = SetpReadInfClass(inf, &guid, &className);
    if (classError == ERROR_SUCCESS && className.empty())
        Violated("a class read without a name");
    for (const char* hardwareId : {"Mirka\\kordia", "mirkatech\\quentaro"}) {
        DriverPackage package;
        DWORD error = SetpReadDriverPackage(inf, hardwareId, &package);
        if (error == ERROR_SUCCESS) {
            if (package.installSection.empty())
                Violated("a package without an install section");
            int associated = 0;
            for (const ServiceInstall& service : package.services)
                associated += service.associated;
            if (associated != 1)
                Violated("a package without exactly one function driver");
            if (classError != ERROR_SUCCESS)
                Violated("a package from an INF without a valid class");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vlm::fuzz::CountInput();
    int fd = MemoryFd();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        Violated("cannot write the memory file");
    InfFile inf;
    DWORD error = inf.Load(MemoryFile());
    if (error == ERROR_SUCCESS) {
        ReadPackage(inf);
    } else if (inf.Section("Version") != nullptr) {
        Violated("a failed read left sections behind");
    }
    // The text itself, without the byte-order mark handling.
    InfFile text;
    if (text.Parse(std::string_view(reinterpret_cast<const char*>(data), size)) == ERROR_SUCCESS)
        ReadPackage(text);
    return 0;
}
