// Memory manager internals: the pool tag of MDLs, which the I/O manager
// also frees at completion.
#pragma once

#include <vlm/kernel.h>

namespace vlm::nt::mm {

// "Mdl ", as Windows tags them, so a leaked MDL shows by name in the pool
// accounting.
inline constexpr ULONG kMdlTag = PoolTag("Mdl ");

// Fills an MDL's page numbers. With one address space they are the
// virtual page numbers of the range.
void FillPageNumbers(PMDL mdl);

}  // namespace vlm::nt::mm
