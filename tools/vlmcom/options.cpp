#include "vlmcom.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace vlmcom {

const char* UsageText()
{
    return "usage: vlmcom [options] PORT\n"
           "Opens the COM port PORT (COM3, COM3:, \\\\.\\COM3) through the running vlmhost,\n"
           "sends a job to the printer it is assigned to, prints what the printer\n"
           "answers, and shows the port's state.\n"
           "\n"
           "  --send FILE   send FILE to the port; - sends standard input\n"
           "  --wait MS     print what the printer answers within MS milliseconds\n"
           "                (default 1000 after --send; 0 does not wait)\n"
           "  --status      print the port's settings, modem lines, queues and time-outs\n"
           "  --root DIR    system root (default: $VLM_SYSTEM_ROOT, else /var/lib/vlm)\n"
           "  --verbose     say on standard error what is being done\n"
           "  --help        this text\n"
           "\n"
           "The printer's answer goes to standard output, byte for byte; everything\n"
           "else to standard error. Exit status: 0 done, 1 the port could not be\n"
           "opened or used (the Win32 error and its meaning are printed), 2 a usage\n"
           "error.\n";
}

namespace {

bool ParseMilliseconds(const char* text, unsigned& out)
{
    if (!*text)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (*end || errno || value > 24ul * 3600 * 1000 || !isdigit(static_cast<unsigned char>(*text)))
        return false;
    out = unsigned(value);
    return true;
}

}  // namespace

ParseResult ParseCommandLine(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            return ParseResult::Help;
        } else if (arg == "--send") {
            const char* v = value("--send");
            if (!v)
                return ParseResult::Error;
            options.send = v;
        } else if (arg == "--wait") {
            const char* v = value("--wait");
            if (!v)
                return ParseResult::Error;
            unsigned ms;
            if (!ParseMilliseconds(v, ms)) {
                error = std::string("--wait: not a number of milliseconds: ") + v;
                return ParseResult::Error;
            }
            options.waitMs = ms;
        } else if (arg == "--root") {
            const char* v = value("--root");
            if (!v)
                return ParseResult::Error;
            options.root = v;
        } else if (arg == "--status") {
            options.status = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            error = "unknown option: " + arg;
            return ParseResult::Error;
        } else if (options.port.empty()) {
            options.port = arg;
        } else {
            error = "more than one port given: " + options.port + ", " + arg;
            return ParseResult::Error;
        }
    }
    if (options.port.empty()) {
        error = "no port given";
        return ParseResult::Error;
    }
    if (!options.send && !options.status && !options.waitMs) {
        error = "nothing to do: give --send, --wait or --status";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

std::string DeviceName(const std::string& port)
{
    std::string name = port;
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    if (name.size() > 3 && strncasecmp(name.c_str(), "COM", 3) == 0)
        return "\\\\.\\" + name;
    return port;
}

}  // namespace vlmcom
