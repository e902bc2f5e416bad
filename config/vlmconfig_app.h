// The application object of VLMCONFIG: starts the socket library and runs
// the main dialog; the program ends when that dialog closes.
#pragma once

#include "stdafx.h"

class CVLMCONFIGApp : public CWinApp {
public:
    CVLMCONFIGApp();

    BOOL InitInstance() override;
};
