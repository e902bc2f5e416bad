// A process-wide object that is never destroyed. The threads this subset
// starts are detached and may still be inside a call while the process
// exits; the tables those calls use must outlive every static destructor.
#pragma once

#include <new>
#include <utility>

namespace vlm::win32 {

template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args)
    {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace vlm::win32
