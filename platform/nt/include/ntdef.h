/*
 * Basic NT types, with the sizes Windows gives them (LLP64: LONG and ULONG
 * are 32 bits, WCHAR is 16 bits; everything that includes this header is
 * built with -fshort-wchar).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
/* The C library's wide-string declarations come first, so that the kernel's
 * own routines (wdm.h) can take over their names without clashing when a
 * C++ header pulls them in later. */
#ifdef __cplusplus
#include <cwchar>
#else
#include <wchar.h>
#endif

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define FASTCALL
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define FORCEINLINE static inline __attribute__((always_inline))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ANYSIZE_ARRAY 1

typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR;
typedef unsigned char UCHAR, *PUCHAR;
typedef int16_t SHORT, *PSHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG, LONG64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, DWORD64;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR, DWORD_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char CCHAR;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG KPRIORITY;
typedef ULONG LOGICAL;
typedef void *HANDLE, **PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without a terminating NUL */
    USHORT MaximumLength; /* bytes */
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)

#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL

#define RTL_CONSTANT_STRING(s)                                              \
    {                                                                       \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) \
    }

#ifdef __cplusplus
static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits: build with -fshort-wchar");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 64 bits");
#endif
