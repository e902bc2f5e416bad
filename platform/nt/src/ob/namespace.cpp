// The object namespace: full path names to objects, with symbolic links.
//
// The namespace is flat (a sorted map of folded full names); directories
// exist only as name prefixes, which is all the system's names need.
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <map>
#include <mutex>

namespace vlm::nt::ob {

std::u16string& NameSlot(PVOID object);
POBJECT_TYPE SymbolicLinkType();
std::u16string SymbolicLinkTarget(PVOID link);

namespace {

struct Namespace {
    std::mutex lock;                        // guards names and every object's name slot
    std::map<std::u16string, PVOID> names;  // folded canonical name -> object (one reference each)
};

Namespace& Names()
{
    static Namespace* ns = new Namespace;  // immortal: see object type table
    return *ns;
}

// \DosDevices\X, \??\X and \GLOBAL??\X name the same thing.
std::u16string Canonical(std::u16string_view name)
{
    static const std::u16string_view aliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\??\\"};
    for (auto alias : aliases) {
        if (name.size() >= alias.size() && FoldName(name.substr(0, alias.size())) == FoldName(alias))
            return u"\\??\\" + std::u16string(name.substr(alias.size()));
    }
    return std::u16string(name);
}

std::u16string_view View(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer)
        return {};
    return {reinterpret_cast<const char16_t*>(s->Buffer), size_t(s->Length / sizeof(WCHAR))};
}

constexpr int kMaxLinkDepth = 8;

}  // namespace

std::u16string FoldName(std::u16string_view name)
{
    std::u16string folded(name);
    for (auto& c : folded) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = char16_t(c - 0x20);
    }
    return folded;
}

NTSTATUS InsertName(PCUNICODE_STRING name, PVOID object)
{
    auto view = View(name);
    if (view.empty() || view[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string canonical = Canonical(view);
    auto& ns = Names();
    std::lock_guard guard(ns.lock);
    auto [it, inserted] = ns.names.emplace(FoldName(canonical), object);
    if (!inserted)
        return STATUS_OBJECT_NAME_COLLISION;
    ReferenceInternal(object);
    NameSlot(object) = std::u16string(view);
    return STATUS_SUCCESS;
}

void RemoveName(PVOID object)
{
    auto& ns = Names();
    {
        std::lock_guard guard(ns.lock);
        std::u16string& slot = NameSlot(object);
        if (slot.empty())
            return;
        ns.names.erase(FoldName(Canonical(slot)));
        slot.clear();
    }
    DereferenceInternal(object);
}

std::u16string ObjectName(PVOID object)
{
    auto& ns = Names();
    std::lock_guard guard(ns.lock);
    return NameSlot(object);
}

NTSTATUS ReferenceByName(PCUNICODE_STRING name, POBJECT_TYPE type, PVOID* object)
{
    *object = nullptr;
    auto view = View(name);
    if (view.empty() || view[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string current = Canonical(view);
    auto& ns = Names();
    std::lock_guard guard(ns.lock);
    for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
        auto it = ns.names.find(FoldName(current));
        if (it == ns.names.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        PVOID found = it->second;
        if (ObjectType(found) == SymbolicLinkType() && type != SymbolicLinkType()) {
            current = Canonical(SymbolicLinkTarget(found));
            continue;
        }
        if (type && ObjectType(found) != type)
            return STATUS_OBJECT_TYPE_MISMATCH;
        ReferenceInternal(found);
        *object = found;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;  // link loop
}

void ClearNamespace()
{
    std::map<std::u16string, PVOID> names;
    {
        auto& ns = Names();
        std::lock_guard guard(ns.lock);
        names.swap(ns.names);
        for (auto& [key, object] : names)
            NameSlot(object).clear();
    }
    for (auto& [key, object] : names)
        DereferenceInternal(object);
}

// Walks the namespace for links under a prefix; used by the host's report.
std::vector<SymbolicLinkInfo> QueryLinks(std::u16string_view prefix)
{
    std::u16string folded = FoldName(Canonical(prefix));
    std::vector<SymbolicLinkInfo> links;
    auto& ns = Names();
    std::lock_guard guard(ns.lock);
    for (auto it = ns.names.lower_bound(folded); it != ns.names.end(); ++it) {
        if (it->first.compare(0, folded.size(), folded) != 0)
            break;
        if (ObjectType(it->second) != SymbolicLinkType())
            continue;
        const std::u16string& name = NameSlot(it->second);
        std::u16string target = SymbolicLinkTarget(it->second);
        links.push_back({WideToUtf8(reinterpret_cast<PCWSTR>(name.data()), name.size()),
                WideToUtf8(reinterpret_cast<PCWSTR>(target.data()), target.size())});
    }
    return links;
}

}  // namespace vlm::nt::ob

namespace vlm::nt {

std::vector<SymbolicLinkInfo> ObQuerySymbolicLinks(std::string_view prefix)
{
    return ob::QueryLinks(Utf8ToWide(prefix));
}

void ObInitSystem() { }

void ObShutdownSystem()
{
    ob::ClearNamespace();
}

}  // namespace vlm::nt
