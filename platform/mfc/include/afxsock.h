// The framework's sockets: only AfxSocketInit, the start of the socket
// library that a dialog program makes once in InitInstance.
#pragma once

#include "afxwin.h"
#include <winsock2.h>

// Starts Winsock 1.1 for the process. FALSE when the socket library could
// not be started; WSAGetLastError and GetLastError then tell why. The data
// WSAStartup reports is copied to *lpwsaData when it is given.
inline BOOL AfxSocketInit(WSADATA* lpwsaData = nullptr)
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return FALSE;
    if (lpwsaData != nullptr)
        *lpwsaData = data;
    return TRUE;
}
