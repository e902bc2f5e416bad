// The setup class an INF file declares.
#include "fs/path.h"
#include "setupapi/devinfo.h"
#include "setupapi/package.h"

#include <cstring>

using namespace vlm::win32::setup;

extern "C" BOOL WINAPI SetupDiGetINFClassA(
        LPCSTR InfName, LPGUID ClassGuid, LPSTR ClassName, DWORD ClassNameSize, PDWORD RequiredSize)
{
    if (!InfName || !ClassGuid || (ClassNameSize && !ClassName))
        return SetpFail(ERROR_INVALID_PARAMETER);
    InfFile inf;
    if (DWORD error = inf.Load(vlm::win32::fs::FspHostPath(InfName)))
        return SetpFail(error);
    GUID guid;
    std::string name;
    if (DWORD error = SetpReadInfClass(inf, &guid, &name))
        return SetpFail(error);
    DWORD needed = DWORD(name.size() + 1);
    if (RequiredSize)
        *RequiredSize = needed;
    if (ClassNameSize < needed)
        return SetpFail(ERROR_INSUFFICIENT_BUFFER);
    *ClassGuid = guid;
    memcpy(ClassName, name.c_str(), needed);
    return SetpSucceed();
}
