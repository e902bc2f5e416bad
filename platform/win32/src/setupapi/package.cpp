#include "setupapi/package.h"

#include "setupapi/classes.h"

#include <winerror.h>
#include <winreg.h>

#include <cstdio>

namespace vlm::win32::setup {
namespace {

constexpr DWORD kServiceAssociated = 0x00000002;  // SPSVCINST_ASSOCSERVICE

// AddReg flags.
constexpr DWORD kTypeMask = 0xFFFF0001;
constexpr DWORD kTypeSz = 0x00000000;
constexpr DWORD kTypeMultiSz = 0x00010000;
constexpr DWORD kTypeExpandSz = 0x00020000;
constexpr DWORD kTypeBinary = 0x00000001;
constexpr DWORD kTypeDword = 0x00010001;
constexpr DWORD kTypeNone = 0x00020001;
constexpr DWORD kNoClobber = 0x00000002;
constexpr DWORD kKeyOnly = 0x00000010;

// The platform's architecture as INF decorations spell it.
const char* Architecture()
{
#if defined(__x86_64__)
    return "amd64";
#elif defined(__aarch64__)
    return "arm64";
#elif defined(__i386__)
    return "x86";
#else
    return "";
#endif
}

DWORD NotImplemented(const char* what, const std::string& detail)
{
    fprintf(stderr, "setupapi: %s not implemented: %s\n", what, detail.c_str());
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// An install section is looked up as Windows NT looks it up: the
// architecture's decoration first, then .NT, then the bare name.
const InfSection* DecoratedSection(const InfFile& inf, const std::string& base, std::string* chosen)
{
    for (std::string name : {base + ".NT" + Architecture(), base + ".NT", base}) {
        if (const InfSection* section = inf.Section(name)) {
            *chosen = name;
            return section;
        }
    }
    return nullptr;
}

// The models section a [Manufacturer] line names for this platform: the
// decoration for its architecture, else .NT if listed, else the bare name.
std::string ModelsSection(const InfLine& line)
{
    const std::string& base = line.fields[0];
    std::string arch = std::string("NT") + Architecture();
    bool plainNt = false;
    for (size_t i = 1; i < line.fields.size(); ++i) {
        const std::string& decoration = line.fields[i];
        if (InfpEqual(decoration, arch) ||
                (decoration.size() > arch.size() && decoration[arch.size()] == '.' &&
                        InfpEqual(decoration.substr(0, arch.size()), arch)))
            return base + "." + decoration;
        plainNt |= InfpEqual(decoration, "NT");
    }
    return plainNt ? base + ".NT" : base;
}

// Directory ids of ServiceBinary, as the kernel names the directories.
std::string ExpandDirectoryIds(std::string text)
{
    static const struct {
        const char* id;
        const char* path;
    } kIds[] = {
            {"%10%", "\\SystemRoot"},
            {"%11%", "\\SystemRoot\\System32"},
            {"%12%", "\\SystemRoot\\System32\\drivers"},
    };
    for (const auto& id : kIds)
        for (size_t at = text.find(id.id); at != std::string::npos; at = text.find(id.id, at))
            text.replace(at, 4, id.path);
    return text;
}

DWORD ReadAddReg(
        const InfFile& inf, const std::string& sectionName, bool hardwareSection, std::vector<AddRegEntry>* entries)
{
    const InfSection* section = inf.Section(sectionName);
    if (!section)
        return ERROR_SECTION_NOT_FOUND;
    for (const InfLine& line : section->lines) {
        if (line.hasKey || line.fields.empty())
            return ERROR_GENERAL_SYNTAX;
        const auto& f = line.fields;
        AddRegEntry entry;
        if (InfpEqual(f[0], "HKR")) {
            // In the install section HKR names the driver's software key,
            // which this platform does not keep.
            if (!hardwareSection)
                return NotImplemented("AddReg HKR outside a .HW section", sectionName);
            entry.relative = true;
        } else if (!InfpEqual(f[0], "HKLM")) {
            return NotImplemented("AddReg root", f[0]);
        }
        entry.subkey = f.size() > 1 ? f[1] : "";
        entry.valueName = f.size() > 2 ? f[2] : "";
        DWORD flags = 0;
        if (f.size() > 3 && !f[3].empty() && !InfpNumber(f[3], &flags))
            return ERROR_GENERAL_SYNTAX;
        if (flags & ~(kTypeMask | kNoClobber | kKeyOnly))
            return NotImplemented("AddReg flags", f[3]);
        entry.keyOnly = flags & kKeyOnly;
        entry.noClobber = flags & kNoClobber;
        DWORD type = flags & kTypeMask;
        std::vector<std::string> values(f.size() > 4 ? f.begin() + 4 : f.end(), f.end());
        switch (type) {
        case kTypeSz:
        case kTypeExpandSz: {
            entry.type = type == kTypeSz ? REG_SZ : REG_EXPAND_SZ;
            std::string text = values.empty() ? "" : values[0];
            entry.data.assign(text.begin(), text.end());
            entry.data.push_back(0);
            break;
        }
        case kTypeMultiSz:
            entry.type = REG_MULTI_SZ;
            for (const std::string& value : values) {
                entry.data.insert(entry.data.end(), value.begin(), value.end());
                entry.data.push_back(0);
            }
            entry.data.push_back(0);
            break;
        case kTypeDword: {
            DWORD value = 0;
            if (!values.empty() && !InfpNumber(values[0], &value))
                return ERROR_GENERAL_SYNTAX;
            entry.type = REG_DWORD;
            entry.data = {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
            break;
        }
        case kTypeBinary:
            entry.type = REG_BINARY;
            for (const std::string& value : values) {
                DWORD byte = 0;
                if (!InfpNumber("0x" + value, &byte) || byte > 0xFF)
                    return ERROR_GENERAL_SYNTAX;
                entry.data.push_back(BYTE(byte));
            }
            break;
        case kTypeNone:
            entry.type = REG_NONE;
            break;
        default:
            return NotImplemented("AddReg value type", f[3]);
        }
        entries->push_back(std::move(entry));
    }
    return ERROR_SUCCESS;
}

// Every AddReg and CopyFiles of an install section (or its .HW section).
DWORD ReadDirectives(const InfFile& inf, const InfSection& section, bool hardwareSection, DriverPackage* package)
{
    for (const InfLine& line : section.lines) {
        if (!line.hasKey)
            continue;
        if (InfpEqual(line.key, "AddReg")) {
            for (const std::string& name : line.fields)
                if (!name.empty())
                    if (DWORD error = ReadAddReg(inf, name, hardwareSection, &package->addReg))
                        return error;
        } else if (InfpEqual(line.key, "CopyFiles")) {
            // The driver is linked into vlmhost, so there is nothing to
            // copy; the lists must still exist.
            for (const std::string& name : line.fields)
                if (!name.empty() && name[0] != '@' && !inf.Section(name))
                    return ERROR_SECTION_NOT_FOUND;
        } else if (InfpEqual(line.key, "DelReg") || InfpEqual(line.key, "Include") || InfpEqual(line.key, "Needs") ||
                InfpEqual(line.key, "DelFiles") || InfpEqual(line.key, "RenFiles")) {
            return NotImplemented("INF directive", line.key);
        }
    }
    return ERROR_SUCCESS;
}

DWORD ReadService(const InfFile& inf, const InfLine& line, ServiceInstall* service)
{
    const auto& f = line.fields;
    DWORD flags = 0;
    if (f.size() < 3 || f[0].empty() || (!f[1].empty() && !InfpNumber(f[1], &flags)) || f[2].empty())
        return ERROR_BAD_SERVICE_INSTALLSECT;
    service->name = f[0];
    service->associated = flags & kServiceAssociated;
    const InfSection* section = inf.Section(f[2]);
    if (!section)
        return ERROR_SECTION_NOT_FOUND;
    const std::string* type = inf.Value(f[2], "ServiceType");
    const std::string* start = inf.Value(f[2], "StartType");
    const std::string* errorControl = inf.Value(f[2], "ErrorControl");
    const std::string* binary = inf.Value(f[2], "ServiceBinary");
    if (!type || !start || !errorControl || !binary || binary->empty() || !InfpNumber(*type, &service->type) ||
            !InfpNumber(*start, &service->start) || !InfpNumber(*errorControl, &service->errorControl) ||
            service->start > 4 || service->errorControl > 3)
        return ERROR_BAD_SERVICE_INSTALLSECT;
    service->imagePath = ExpandDirectoryIds(*binary);
    if (const std::string* name = inf.Value(f[2], "DisplayName"))
        service->displayName = *name;
    if (const std::string* group = inf.Value(f[2], "LoadOrderGroup"))
        service->group = *group;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD SetpReadInfClass(const InfFile& inf, GUID* classGuid, std::string* className)
{
    if (!inf.Section("Version"))
        return ERROR_WRONG_INF_STYLE;
    const std::string* signature = inf.Value("Version", "Signature");
    if (!signature ||
            !(InfpEqual(*signature, "$Windows NT$") || InfpEqual(*signature, "$Chicago$") ||
                    InfpEqual(*signature, "$Windows 95$")))
        return ERROR_WRONG_INF_STYLE;
    const std::string* name = inf.Value("Version", "Class");
    const std::string* guid = inf.Value("Version", "ClassGuid");
    if ((!name || name->empty()) && (!guid || guid->empty()))
        return ERROR_NO_ASSOCIATED_CLASS;
    GUID parsed{};
    if (guid && !guid->empty()) {
        if (!SetpParseGuid(*guid, &parsed))
            return ERROR_INVALID_CLASS;
    } else if (!SetpClassGuid(*name, &parsed)) {
        return ERROR_INVALID_CLASS;
    }
    std::string resolved = name && !name->empty() ? *name : SetpClassName(parsed);
    if (resolved.empty())
        return ERROR_INVALID_CLASS;
    *classGuid = parsed;
    *className = resolved;
    return ERROR_SUCCESS;
}

DWORD SetpLoadDriverPackage(const std::string& hostPath, const std::string& hardwareId, DriverPackage* package)
{
    InfFile inf;
    if (DWORD error = inf.Load(hostPath))
        return error;
    return SetpReadDriverPackage(inf, hardwareId, package);
}

DWORD SetpReadDriverPackage(const InfFile& inf, const std::string& hardwareId, DriverPackage* package)
{
    DriverPackage result;
    if (DWORD error = SetpReadInfClass(inf, &result.classGuid, &result.className))
        return error;
    // The Ports class installer is the one this platform has.
    if (!IsEqualGUID(result.classGuid, kPortsClassGuid) || !InfpEqual(result.className, kPortsClassName))
        return ERROR_INVALID_CLASS;
    const InfSection* manufacturers = inf.Section("Manufacturer");
    if (!manufacturers)
        return ERROR_SECTION_NOT_FOUND;
    const InfLine* model = nullptr;
    for (const InfLine& line : manufacturers->lines) {
        if (line.fields.empty() || line.fields[0].empty())
            return ERROR_GENERAL_SYNTAX;
        const InfSection* models = inf.Section(ModelsSection(line));
        if (!models)
            return ERROR_SECTION_NOT_FOUND;
        for (const InfLine& candidate : models->lines) {
            if (candidate.fields.size() < 2 || candidate.fields[0].empty())
                return ERROR_GENERAL_SYNTAX;
            for (size_t i = 1; i < candidate.fields.size() && !model; ++i)
                if (InfpEqual(candidate.fields[i], hardwareId))
                    model = &candidate;
        }
        if (model) {
            result.manufacturer = line.hasKey ? line.key : line.fields[0];
            break;
        }
    }
    if (!model)
        return ERROR_NO_DRIVER_SELECTED;
    result.description = model->key;
    const InfSection* install = DecoratedSection(inf, model->fields[0], &result.installSection);
    if (!install)
        return ERROR_SECTION_NOT_FOUND;
    if (DWORD error = ReadDirectives(inf, *install, false, &result))
        return error;
    if (const InfSection* hardware = inf.Section(result.installSection + ".HW"))
        if (DWORD error = ReadDirectives(inf, *hardware, true, &result))
            return error;
    const InfSection* services = inf.Section(result.installSection + ".Services");
    if (!services)
        return ERROR_NO_ASSOCIATED_SERVICE;
    int associated = 0;
    for (const InfLine& line : services->lines) {
        if (!line.hasKey)
            continue;
        if (!InfpEqual(line.key, "AddService"))
            return NotImplemented("service directive", line.key);
        ServiceInstall service;
        if (DWORD error = ReadService(inf, line, &service))
            return error;
        associated += service.associated;
        result.services.push_back(std::move(service));
    }
    if (associated != 1)
        return associated ? ERROR_BAD_SERVICE_INSTALLSECT : ERROR_NO_ASSOCIATED_SERVICE;
    *package = std::move(result);
    return ERROR_SUCCESS;
}

}  // namespace vlm::win32::setup
