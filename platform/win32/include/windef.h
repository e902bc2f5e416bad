// The basic Win32 types, with Windows' sizes.
#pragma once

#include <stdint.h>

#define WINAPI
#define APIENTRY WINAPI

#ifndef CONST
#define CONST const
#endif
#ifndef VOID
#define VOID void
#endif

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

// LONG and DWORD are 32 bits on Windows whatever the data model.
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef uint32_t ULONG;
typedef int BOOL;
typedef BOOL* LPBOOL;
typedef unsigned char BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef CONST BYTE* LPCBYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef CONST CHAR* LPCSTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef CONST void* LPCVOID;
typedef PVOID HANDLE;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef LONG LSTATUS;
typedef unsigned int UINT;
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

// Window handles: the user-interface layer gives them their meaning.
typedef struct HWND__* HWND;

#define MAX_PATH 260
// What the functions that make handles return when they fail.
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef unsigned char UCHAR;
typedef uint16_t USHORT;
typedef ULONG_PTR SIZE_T;

#define MAKEWORD(a, b) ((WORD)(((BYTE)(((ULONG_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((ULONG_PTR)(b)) & 0xff))) << 8))
#define LOBYTE(w) ((BYTE)(((ULONG_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((ULONG_PTR)(w)) >> 8) & 0xff))
