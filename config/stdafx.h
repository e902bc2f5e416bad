// The framework headers every file of the tool includes.
#pragma once

#include <afxwin.h>   // application, windows, dialogs, data exchange
#include <afxcmn.h>   // common controls: list view, progress bar, IP address
#include <afxsock.h>  // AfxSocketInit

#include <windows.h>
#include <winsock2.h>
