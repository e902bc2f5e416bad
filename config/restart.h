// The restart that completes a removal of the ports' device nodes.
#pragma once

#include "stdafx.h"

// Enables the shutdown privilege and restarts the system. TRUE when the
// restart was started.
BOOL RestartComputer();
