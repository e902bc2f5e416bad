#include "rc/resources.h"

#include "rc/names.h"

#include "gdi/icons.h"

#include <vlm/mfc/resource_module.h>

#include <QBuffer>
#include <QByteArray>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <vector>

namespace vlm::mfc::detail {
namespace {

using rc::BaseName;
using rc::Lower;

struct Module {
    std::vector<EmbeddedFile> files;  // the script first
    bool parsed = false;
    std::optional<rc::Script> script;
};

struct Registry {
    std::mutex lock;  // guards modules and their parsing
    std::vector<Module> modules;
};

Registry& Modules()
{
    static Registry* registry = new Registry;  // filled during static initialisation
    return *registry;
}

// A file of the module by the path a script names it with; file names
// compare without regard to case, as on Windows.
const EmbeddedFile* FindFile(const Module& module, std::string_view path)
{
    std::string wanted = Lower(path);
    for (const EmbeddedFile& f : module.files) {
        if (Lower(f.name) == wanted)
            return &f;
    }
    for (const EmbeddedFile& f : module.files) {
        if (Lower(BaseName(f.name)) == Lower(BaseName(wanted)))
            return &f;
    }
    return nullptr;
}

// Parses a module's script once; a script that cannot be read is reported
// on stderr and then offers no resources.
const rc::Script* ScriptOf(Module& module)
{
    if (!module.parsed) {
        module.parsed = true;
        const EmbeddedFile& script = module.files.front();
        auto includes = [&module](std::string_view name, bool) -> std::optional<rc::IncludedFile> {
            const EmbeddedFile* f = FindFile(module, name);
            if (f == nullptr || f == &module.files.front())
                return std::nullopt;
            return rc::IncludedFile{std::string(reinterpret_cast<const char*>(f->data), f->size), f->name};
        };
        try {
            module.script = rc::Parse(
                    std::string_view(reinterpret_cast<const char*>(script.data), script.size), script.name, includes);
        } catch (const rc::ParseError& e) {
            std::fprintf(stderr, "vlmmfc: resource script %s\n", e.what());
        }
    }
    return module.script ? &*module.script : nullptr;
}

QIcon ReadIcon(const EmbeddedFile& file)
{
    QByteArray bytes =
            QByteArray::fromRawData(reinterpret_cast<const char*>(file.data), static_cast<qsizetype>(file.size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QIcon icon;
    // An .ico holds one image per size.
    for (int i = 0; i < std::max(1, reader.imageCount()); ++i) {
        if (i > 0 && !reader.jumpToNextImage())
            break;
        QImage image = reader.read();
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace

rc::ResId ResIdFromName(LPCTSTR name)
{
    if (IS_INTRESOURCE(name))
        return rc::ResId::Number(static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(name)));
    if (name[0] == '#')
        return rc::ResId::Number(static_cast<uint32_t>(std::strtoul(name + 1, nullptr, 10)));
    return rc::ResId::Name(name);
}

const rc::DialogTemplate* FindDialogTemplate(const rc::ResId& id, std::string& why)
{
    Registry& registry = Modules();
    std::lock_guard guard(registry.lock);
    bool unreadable = false;
    for (Module& module : registry.modules) {
        const rc::Script* script = ScriptOf(module);
        if (script == nullptr) {
            unreadable = true;
            continue;
        }
        if (const rc::DialogTemplate* d = script->FindDialog(id))
            return d;
    }
    if (registry.modules.empty())
        why = "the program has no resources";
    else if (unreadable)
        why = "its resource script could not be read";
    else
        why = "there is no dialog template " + id.ToString();
    return nullptr;
}

HICON LoadIconResource(const rc::ResId& id)
{
    Registry& registry = Modules();
    std::lock_guard guard(registry.lock);
    for (size_t m = 0; m < registry.modules.size(); ++m) {
        Module& module = registry.modules[m];
        const rc::Script* script = ScriptOf(module);
        const rc::IconResource* resource = script != nullptr ? script->FindIcon(id) : nullptr;
        if (resource == nullptr)
            continue;
        const EmbeddedFile* file = FindFile(module, resource->file);
        if (file == nullptr) {
            std::fprintf(stderr, "vlmmfc: icon %s: the file %s was not embedded\n", id.ToString().c_str(),
                    resource->file.c_str());
            return nullptr;
        }
        QIcon icon = ReadIcon(*file);
        if (icon.isNull()) {
            std::fprintf(stderr, "vlmmfc: icon %s: %s is no image Qt can read\n", id.ToString().c_str(),
                    resource->file.c_str());
            return nullptr;
        }
        return IconHandle(icon, std::to_string(m) + ":" + id.ToString());
    }
    return nullptr;
}

std::optional<std::string> LoadStringResource(UINT id)
{
    {
        Registry& registry = Modules();
        std::lock_guard guard(registry.lock);
        for (Module& module : registry.modules) {
            const rc::Script* script = ScriptOf(module);
            if (script == nullptr)
                continue;
            auto it = script->strings.find(id);
            if (it != script->strings.end())
                return it->second;
        }
    }
    switch (id) {
    case AFX_IDP_PARSE_INT:
        return "Enter an integer.";
    case AFX_IDP_PARSE_UINT:
        return "Enter a positive integer.";
    case AFX_IDP_PARSE_BYTE:
        return "Enter an integer between 0 and 255.";
    case AFX_IDP_PARSE_REAL:
        return "Enter a number.";
    default:
        return std::nullopt;
    }
}

}  // namespace vlm::mfc::detail

namespace vlm::mfc {

ResourceModule::ResourceModule(const EmbeddedFile* files, std::size_t count)
{
    if (count == 0)
        return;
    detail::Registry& registry = detail::Modules();
    std::lock_guard guard(registry.lock);
    detail::Module module;
    module.files.assign(files, files + count);
    registry.modules.push_back(std::move(module));
}

}  // namespace vlm::mfc
