// A driver package: what an INF says to install on a device with a given
// hardware id, read and checked completely before anything is written.
#pragma once

#include "setupapi/inf.h"

#include <guiddef.h>

#include <string>
#include <vector>

namespace vlm::win32::setup {

// [Version]: the signature, the setup class. ERROR_WRONG_INF_STYLE without
// a Windows NT or Chicago signature, ERROR_NO_ASSOCIATED_CLASS without a
// class, ERROR_INVALID_CLASS for a malformed or unknown one.
DWORD SetpReadInfClass(const InfFile& inf, GUID* classGuid, std::string* className);

// One AddReg line, ready to write.
struct AddRegEntry {
    bool relative = false;  // HKR: the device's hardware key (Device Parameters)
    std::string subkey;
    std::string valueName;
    bool keyOnly = false;
    bool noClobber = false;  // leave an existing value alone
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct ServiceInstall {
    std::string name;
    bool associated = false;  // SPSVCINST_ASSOCSERVICE: the device's function driver
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::string imagePath;
    std::string displayName;
    std::string group;
};

struct DriverPackage {
    GUID classGuid{};
    std::string className;
    std::string manufacturer;
    std::string description;               // the model's device description
    std::string installSection;            // with the decoration chosen
    std::vector<ServiceInstall> services;  // exactly one associated
    std::vector<AddRegEntry> addReg;       // install section and .HW section, in order
};

// Loads the INF at hostPath and selects the model for hardwareId.
// ERROR_NO_DRIVER_SELECTED when no model names the id;
// ERROR_SECTION_NOT_FOUND for a section the INF names but lacks;
// ERROR_NO_ASSOCIATED_SERVICE without an AddService for the function
// driver; ERROR_BAD_SERVICE_INSTALLSECT for an incomplete service section;
// the reader's errors for malformed text.
DWORD SetpLoadDriverPackage(const std::string& hostPath, const std::string& hardwareId, DriverPackage* package);
// The same for an INF already read.
DWORD SetpReadDriverPackage(const InfFile& inf, const std::string& hardwareId, DriverPackage* package);

}  // namespace vlm::win32::setup
