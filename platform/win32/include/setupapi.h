// Device installation: device information sets, their elements, device
// registry properties and the class installer's functions (ANSI).
//
// A device node is a key under HKLM\SYSTEM\CurrentControlSet\Enum named by
// its instance id (Root\PORTS\0000). An element created in a set stays in
// the set's memory until DIF_REGISTERDEVICE writes it as a node, so a set
// destroyed before that leaves nothing behind.
#pragma once

#include "windef.h"
#include "guiddef.h"
#include "winerror.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef CHAR* PSTR;

#define LINE_LEN 256
#define MAX_CLASS_NAME_LEN 32
#define MAX_DEVICE_ID_LEN 200

// A device information set; failures return INVALID_HANDLE_VALUE.
typedef PVOID HDEVINFO;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;  // sizeof(SP_DEVINFO_DATA), or ERROR_INVALID_USER_BUFFER
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef PVOID HSPFILEQ;
typedef UINT (*PSP_FILE_CALLBACK_A)(PVOID Context, UINT Notification, UINT_PTR Param1, UINT_PTR Param2);

typedef struct _SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_A InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;

// SP_DEVINSTALL_PARAMS_A.Flags
#define DI_NEEDRESTART 0x00000080L
#define DI_NEEDREBOOT 0x00000100L

// SetupDiCreateDeviceInfoA
#define DICD_GENERATE_ID 0x00000001
#define DICD_INHERIT_CLASSDRVS 0x00000002

// SetupDiGetClassDevsA
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// Installation functions handed to SetupDiCallClassInstaller.
typedef UINT DI_FUNCTION;
#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_ASSIGNRESOURCES 0x00000003
#define DIF_PROPERTIES 0x00000004
#define DIF_REMOVE 0x00000005
#define DIF_FIRSTTIMESETUP 0x00000006
#define DIF_REGISTERDEVICE 0x00000019

// Device registry properties.
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

BOOL WINAPI SetupDiGetINFClassA(
        LPCSTR InfName, LPGUID ClassGuid, LPSTR ClassName, DWORD ClassNameSize, PDWORD RequiredSize);

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, LPCSTR DeviceName, const GUID* ClassGuid,
        LPCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
        DWORD DeviceInstanceIdSize, PDWORD RequiredSize);

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
        PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
        const BYTE* PropertyBuffer, DWORD PropertyBufferSize);

BOOL WINAPI SetupDiCallClassInstaller(
        DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstallParamsA(
        HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);

#ifdef __cplusplus
}
#endif
