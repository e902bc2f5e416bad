// What store.h declares besides the Store: status names, name folding,
// the clock. The Store itself: sqlite.cpp (plumbing), schema.cpp (the
// file and its schema), keys.cpp (keys and values), read_cache.cpp.
#include "vlm/regstore/store.h"

#include <chrono>

namespace vlm::nt::cm {

const char* StoreStatusName(StoreStatus status)
{
    switch (status) {
    case StoreStatus::Ok:
        return "Ok";
    case StoreStatus::NotFound:
        return "NotFound";
    case StoreStatus::KeyDeleted:
        return "KeyDeleted";
    case StoreStatus::HasSubkeys:
        return "HasSubkeys";
    case StoreStatus::Protected:
        return "Protected";
    case StoreStatus::AccessDenied:
        return "AccessDenied";
    case StoreStatus::NameInvalid:
        return "NameInvalid";
    case StoreStatus::ParameterInvalid:
        return "ParameterInvalid";
    case StoreStatus::NoMoreEntries:
        return "NoMoreEntries";
    case StoreStatus::IoError:
        return "IoError";
    }
    return "?";
}

std::string FoldName(std::string_view utf8)
{
    std::string folded(utf8);
    for (size_t i = 0; i < folded.size(); ++i) {
        auto c = static_cast<unsigned char>(folded[i]);
        if (c >= 'a' && c <= 'z') {
            folded[i] = char(c - 0x20);
        } else if (c == 0xC3 && i + 1 < folded.size()) {
            // U+00E0..U+00FE is C3 A0..C3 BE; its upper case is 0x20 lower.
            auto next = static_cast<unsigned char>(folded[i + 1]);
            if (next >= 0xA0 && next <= 0xBE && next != 0xB7)
                folded[i + 1] = char(next - 0x20);
            ++i;
        }
    }
    return folded;
}

size_t Utf16Length(std::string_view utf8)
{
    size_t units = 0;
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80)
            ++units;
        if (c >= 0xF0)
            ++units;  // outside the BMP: a surrogate pair
    }
    return units;
}

int64_t NtTimeNow()
{
    constexpr int64_t kUnixEpochAsNt = 116444736000000000LL;
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsNt + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

}  // namespace vlm::nt::cm
