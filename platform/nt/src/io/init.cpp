#include "kernel.h"

namespace vlm::nt {

// Object types are created once per process; nothing else of the I/O
// manager outlives a kernel.
void IoInitSystem() { }
void IoShutdownSystem() { }

}  // namespace vlm::nt
