// A program's embedded resources, as vlm_mfc_resources() generates them.
#pragma once

#include <cstddef>
#include <span>

namespace vlm::mfc {

struct EmbeddedFile {
    const char* name;  // path relative to the resource script's folder
    const unsigned char* data;
    std::size_t size;
};

// Registers a program's resources at start-up; the first file is the
// resource script. The files must outlive the program (they are static).
class ResourceModule {
public:
    ResourceModule(const EmbeddedFile* files, std::size_t count);
};

namespace detail {
// The framework's headers that resource scripts include.
std::span<const EmbeddedFile> SystemHeaders();
}  // namespace detail

}  // namespace vlm::mfc
