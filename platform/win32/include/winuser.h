// The user32 subset: message boxes and restarting the system. A box is
// shown by whatever presents the program's user interface (vlm/msgbox.h);
// without one it goes to stderr.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Buttons.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_TYPEMASK 0x0000000FL

// Icons.
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0L

// Default button and modality.
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFMASK 0x00000F00L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L

// Answers.
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Shows a modal message box and returns the button chosen, or 0 when no box
// could be shown. No caption gives the system's default caption "Error".
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// ExitWindowsEx's actions and modifiers.
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define EWX_FORCEIFHUNG 0x00000010
#define EWX_QUICKRESOLVE 0x00000020
#define EWX_RESTARTAPPS 0x00000040
#define EWX_HYBRID_SHUTDOWN 0x00400000
#define EWX_BOOTOPTIONS 0x01000000

// Restarts the system: EWX_REBOOT, with or without EWX_FORCE or
// EWX_FORCEIFHUNG, asks vlmhost, the machine's kernel, to close every open
// port, remove its devices and start again on the same root (programs'
// port handles end with it, as EWX_FORCE ends programs). Needs
// SE_SHUTDOWN_NAME enabled in the process's token (ERROR_PRIVILEGE_NOT_HELD
// otherwise). Returns TRUE once vlmhost has accepted: the restart itself
// follows asynchronously. No vlmhost serving: ERROR_SERVICE_NOT_ACTIVE.
// Logging off, shutting down and powering off are not supported
// (ERROR_NOT_SUPPORTED). dwReason goes to vlmhost's log.
BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);

#ifdef __cplusplus
}
#endif
