/* The NT driver development kit's main header: WDM plus the few
 * non-WDM routines the system's drivers use. */
#pragma once

#include "wdm.h"
