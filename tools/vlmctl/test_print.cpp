// vlmctl test-print: the tool's test page through a virtual port, opened
// as the tool opens it; done only when the port took every block whole.
#include "commands.h"
#include "output.h"
#include "test_page.h"

#include <windows.h>

namespace vlm::ctl {

int RunTestPrint(std::span<char* const> args)
{
    Arguments arguments(args, {}, {});
    arguments.ExpectPositional(1, "COMn");
    const std::string port = VirtualPort(arguments.Positional()[0]);
    // COM1 to COM9 open by their plain names; from COM10 on only the device
    // namespace names them.
    HANDLE file;
    if (port.size() <= 4)
        file = CreateFileA(port.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    else
        file = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Say("cannot open " + port + ": error " + std::to_string(GetLastError()) +
                " (is vlmhost running, is the port assigned, and does its printer answer?)");
        return 1;
    }
    auto blocks = TestPageBlocks(port);
    std::size_t taken = 0, total = 0;
    bool whole = true;
    for (const auto& block : blocks) {
        total += block.size();
        DWORD written = 0;
        if (!WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) ||
                written != block.size()) {
            Say(port + ": a block of the test page was not taken whole: error " + std::to_string(GetLastError()) +
                    ", " + std::to_string(written) + " of " + std::to_string(block.size()) + " bytes");
            whole = false;
            taken += written;
            break;
        }
        taken += written;
    }
    CloseHandle(file);
    if (!whole)
        return 1;
    std::printf("%s: test page printed, %zu of %zu bytes taken\n", port.c_str(), taken, total);
    return 0;
}

}  // namespace vlm::ctl
