// Compiled once per program: VLMCONFIG_X32 selects the 32-bit build's names.
#include "build.h"

#ifdef VLMCONFIG_X32
const char kInfFileName[] = "\\mirkaquentaro.INF";
const char kHardwareId[] = "mirkatech\\quentaro";
#else
const char kInfFileName[] = "\\quentaro.INF";
const char kHardwareId[] = "Mirka\\kordia";
#endif
