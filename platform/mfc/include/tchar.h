// Generic-text mappings of an ANSI build: TCHAR is char and _T("x") is "x".
#pragma once

#ifndef _T
#define _T(x) x
#endif
#ifndef _TEXT
#define _TEXT(x) x
#endif
#ifndef TEXT
#define TEXT(x) x
#endif

typedef char TCHAR;
typedef char _TCHAR;
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;
typedef TCHAR* PTSTR;
typedef const TCHAR* PCTSTR;

#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcsicmp strcasecmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _ttoi atoi
#define _ttol atol
#define _tcstol strtol
#define _tcstoul strtoul
#define _stprintf sprintf
#define _sntprintf snprintf
#define _tprintf printf
