// The framework's resource ids, for resource scripts and for code alike.
#pragma once

#include "vlm/mfc/windows_ui.h"
#include "commctrl.h"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The application's title in the string table: CWinApp takes it as the
// application's name when the program did not name itself.
#define AFX_IDS_APP_TITLE 0xE000

// The framework's own prompts (AfxMessageBox(UINT)); a program's string
// table may replace their texts.
#define AFX_IDP_PARSE_INT 0xF110
#define AFX_IDP_PARSE_REAL 0xF111
#define AFX_IDP_PARSE_INT_RANGE 0xF112
#define AFX_IDP_PARSE_REAL_RANGE 0xF113
#define AFX_IDP_PARSE_STRING_SIZE 0xF114
#define AFX_IDP_PARSE_UINT 0xF116
#define AFX_IDP_PARSE_BYTE 0xF117

#define ID_HELP 0xE146
