// The program's one application object; the framework's main runs it.
#include "vlmconfig_app.h"

CVLMCONFIGApp theApp;
