// vlmdevcon: installs, lists and removes virtual port device nodes from the
// shell, through SetupAPI and newdev as a Windows installer calls them.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Enumeration stops here even if nodes keep appearing under us.
constexpr DWORD kMaxNodes = 1u << 16;

void Usage(FILE* out)
{
    fprintf(out,
            "usage: vlmdevcon [--root DIR] COMMAND\n"
            "Installs, lists and removes virtual serial port device nodes.\n\n"
            "  install INF HWID  create a Ports device node with hardware id HWID, install\n"
            "                    the INF's driver on it and print its COM name\n"
            "  list              every device node: instance id, COM name, hardware ids\n"
            "  remove HWID       remove every device node with exactly this hardware id\n\n"
            "  --root DIR        system root (default: $VLM_SYSTEM_ROOT, else /var/lib/vlm)\n"
            "  --help            this text\n\n"
            "Installing and removing need write access to the registry (an administrator).\n"
            "A running vlmhost starts and removes the ports at once; without one, a new\n"
            "port starts with the next vlmhost.\n");
}

const char* ErrorMeaning(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "the file or key does not exist";
    case ERROR_PATH_NOT_FOUND:
        return "the directory does not exist";
    case ERROR_FILENAME_EXCED_RANGE:
        return "the path is too long";
    case ERROR_BAD_FILE_TYPE:
        return "not a regular file";
    case ERROR_FILE_TOO_LARGE:
        return "the file is too large for an INF file";
    case ERROR_READ_FAULT:
        return "the file could not be read";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "not enough memory";
    case ERROR_ACCESS_DENIED:
        return "access is denied (administrator rights needed)";
    case ERROR_INVALID_PARAMETER:
        return "invalid parameter";
    case ERROR_INVALID_DATA:
        return "the node has no such property";
    case ERROR_NO_MORE_ITEMS:
        return "no more items";
    case ERROR_NO_LOG_SPACE:
        return "no COM name is free: COM3 to COM256 are all taken; remove a port first";
    case ERROR_CALL_NOT_IMPLEMENTED:
        return "not implemented by this platform";
    case ERROR_REGISTRY_IO_FAILED:
        return "the registry database failed";
    case ERROR_EXPECTED_SECTION_NAME:
        return "INF: a line comes before any section";
    case ERROR_BAD_SECTION_NAME_LINE:
        return "INF: malformed section name line";
    case ERROR_SECTION_NAME_TOO_LONG:
        return "INF: section name too long";
    case ERROR_GENERAL_SYNTAX:
        return "INF: syntax error";
    case ERROR_WRONG_INF_STYLE:
        return "INF: no [Version] with a Windows NT signature";
    case ERROR_SECTION_NOT_FOUND:
        return "INF: a section it names is missing";
    case ERROR_LINE_NOT_FOUND:
        return "INF: a line it needs is missing";
    case ERROR_NO_ASSOCIATED_CLASS:
        return "INF: no setup class";
    case ERROR_CLASS_MISMATCH:
        return "class mismatch";
    case ERROR_NO_DRIVER_SELECTED:
        return "INF: no model for this hardware id";
    case ERROR_INVALID_DEVINST_NAME:
        return "invalid device instance name";
    case ERROR_INVALID_CLASS:
        return "INF: invalid setup class (must be Ports)";
    case ERROR_DEVINST_ALREADY_EXISTS:
        return "the device instance already exists";
    case ERROR_DEVINFO_NOT_REGISTERED:
        return "the device is not registered";
    case ERROR_INVALID_REG_PROPERTY:
        return "invalid device property";
    case ERROR_NO_SUCH_DEVINST:
        return "no device node has that hardware id";
    case ERROR_BAD_SERVICE_INSTALLSECT:
        return "INF: incomplete service install section";
    case ERROR_NO_ASSOCIATED_SERVICE:
        return "INF: no AddService for the function driver";
    default:
        return "unknown error";
    }
}

int Fail(const char* step, DWORD error)
{
    fprintf(stderr, "vlmdevcon: %s failed: error 0x%08X (%s)\n", step, unsigned(error), ErrorMeaning(error));
    return kExitFailure;
}

// A set that destroys itself.
class DeviceSet {
public:
    explicit DeviceSet(HDEVINFO set) : set_(set) { }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    ~DeviceSet()
    {
        if (set_ != INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            SetupDiDestroyDeviceInfoList(set_);
            SetLastError(error);
        }
    }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* data)
{
    char id[MAX_DEVICE_ID_LEN];
    return SetupDiGetDeviceInstanceIdA(set, data, id, sizeof id, nullptr) ? id : "";
}

// The node's hardware ids; empty when it has none.
std::vector<std::string> HardwareIds(HDEVINFO set, SP_DEVINFO_DATA* data)
{
    std::vector<BYTE> buffer;
    DWORD required = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (SetupDiGetDeviceRegistryPropertyA(
                    set, data, SPDRP_HARDWAREID, nullptr, buffer.data(), DWORD(buffer.size()), &required))
            break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        buffer.assign(required, 0);
    }
    std::vector<std::string> ids;
    for (size_t at = 0; at < required;) {
        size_t length = strnlen(reinterpret_cast<const char*>(buffer.data()) + at, required - at);
        if (length == 0)
            break;
        ids.emplace_back(reinterpret_cast<const char*>(buffer.data()) + at, length);
        at += length + 1;
    }
    return ids;
}

std::string PortName(const std::string& instanceId)
{
    std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS)
        return "";
    char name[64];
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    LONG error = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_SZ)
        return "";
    name[size] = 0;
    return name;
}

int Install(const char* inf, const char* hardwareId)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(inf, &found);
    if (search == INVALID_HANDLE_VALUE)
        return Fail("finding the INF file", GetLastError());
    FindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        fprintf(stderr, "vlmdevcon: %s is a directory, not an INF file\n", inf);
        return kExitFailure;
    }

    GUID classGuid;
    char className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(inf, &classGuid, className, sizeof className, nullptr))
        return Fail("reading the INF's class", GetLastError());
    DeviceSet set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (set.get() == INVALID_HANDLE_VALUE)
        return Fail("creating a device information set", GetLastError());
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    if (!SetupDiCreateDeviceInfoA(set.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data))
        return Fail("creating the device element", GetLastError());
    // The hardware id list: the id and the list's terminating empty string.
    std::vector<BYTE> ids(hardwareId, hardwareId + strlen(hardwareId));
    ids.push_back(0);
    ids.push_back(0);
    if (!SetupDiSetDeviceRegistryPropertyA(set.get(), &data, SPDRP_HARDWAREID, ids.data(), DWORD(ids.size())))
        return Fail("setting the hardware id", GetLastError());
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &data))
        return Fail("registering the device node", GetLastError());
    std::string instanceId = InstanceId(set.get(), &data);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, inf, INSTALLFLAG_FORCE, &reboot)) {
        DWORD error = GetLastError();
        // No half-installed node: it goes again.
        SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &data);
        return Fail("installing the driver", error);
    }
    std::string port = PortName(instanceId);
    printf("%s %s\n", port.empty() ? "(no COM name)" : port.c_str(), instanceId.c_str());
    if (reboot)
        printf("restart required: vlmhost not running; the port starts with the next vlmhost\n");
    return kExitSuccess;
}

int List()
{
    DeviceSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (set.get() == INVALID_HANDLE_VALUE)
        return Fail("listing the device nodes", GetLastError());
    DWORD count = 0;
    for (DWORD index = 0; index < kMaxNodes; ++index) {
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set.get(), index, &data))
            break;
        std::string id = InstanceId(set.get(), &data);
        std::string port = PortName(id);
        std::string hardware;
        for (const std::string& hardwareId : HardwareIds(set.get(), &data))
            hardware += (hardware.empty() ? "" : ",") + hardwareId;
        printf("%s\t%s\t%s\n", id.c_str(), port.empty() ? "-" : port.c_str(),
                hardware.empty() ? "-" : hardware.c_str());
        ++count;
    }
    if (count == 0)
        printf("no device nodes\n");
    return kExitSuccess;
}

int Remove(const char* hardwareId)
{
    DeviceSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (set.get() == INVALID_HANDLE_VALUE)
        return Fail("listing the device nodes", GetLastError());
    int removed = 0;
    int failed = 0;
    for (DWORD index = 0; index < kMaxNodes; ++index) {
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set.get(), index, &data))
            break;
        bool match = false;
        // Hardware ids compare exactly here, as the configuration tool
        // compares them: another driver's Mirka\KORDIA is not ours.
        for (const std::string& id : HardwareIds(set.get(), &data))
            match |= id == hardwareId;
        if (!match)
            continue;
        std::string id = InstanceId(set.get(), &data);
        std::string port = PortName(id);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &data)) {
            Fail(("removing " + id).c_str(), GetLastError());
            ++failed;
            continue;
        }
        ++removed;
        printf("removed %s (%s)\n", id.c_str(), port.empty() ? "no COM name" : port.c_str());
        SP_DEVINSTALL_PARAMS_A params;
        params.cbSize = sizeof params;
        if (SetupDiGetDeviceInstallParamsA(set.get(), &data, &params) && (params.Flags & DI_NEEDREBOOT))
            printf("restart required: %s is in use; vlmhost removes it when it restarts\n", id.c_str());
    }
    if (removed == 0 && failed == 0)
        printf("no device node with hardware id %s\n", hardwareId);
    return failed ? kExitFailure : kExitSuccess;
}

int Run(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return kExitSuccess;
        }
        if (arg == "--root") {
            if (i + 1 >= argc) {
                fprintf(stderr, "vlmdevcon: --root needs a directory\n");
                return kExitUsage;
            }
            setenv("VLM_SYSTEM_ROOT", argv[++i], 1);
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            fprintf(stderr, "vlmdevcon: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return kExitUsage;
        }
        args.push_back(arg);
    }
    if (args.size() == 3 && args[0] == "install")
        return Install(args[1].c_str(), args[2].c_str());
    if (args.size() == 1 && args[0] == "list")
        return List();
    if (args.size() == 2 && args[0] == "remove")
        return Remove(args[1].c_str());
    Usage(stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    // Every failure the platform reports is an error code; this is for
    // what no code covers (memory running out), so that it still ends in
    // a message and the failure status rather than an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "vlmdevcon: %s\n", e.what());
        return kExitFailure;
    }
}
