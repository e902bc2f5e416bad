#include "gdi/icons.h"

#include <QPainter>
#include <QWidget>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vlm::mfc::detail {
namespace {

struct IconTable {
    std::mutex lock;  // guards both maps
    std::map<std::string, std::unique_ptr<QIcon>> byKey;
    std::map<HICON, const QIcon*> byHandle;
};

IconTable& Icons()
{
    static IconTable* table = new IconTable;  // icons outlive every window
    return *table;
}

struct PaintContext {
    std::unique_ptr<QPainter> painter;
    QWidget* widget;
};

// Device contexts exist only while their painter paints: user-interface
// thread only.
std::map<HDC, PaintContext>& Painters()
{
    static std::map<HDC, PaintContext> painters;
    return painters;
}

uintptr_t g_nextDc = 0x20010;

}  // namespace

HICON IconHandle(const QIcon& icon, const std::string& key)
{
    IconTable& table = Icons();
    std::lock_guard guard(table.lock);
    std::unique_ptr<QIcon>& slot = table.byKey[key];
    if (!slot) {
        slot = std::make_unique<QIcon>(icon);
        table.byHandle[reinterpret_cast<HICON>(slot.get())] = slot.get();
    }
    return reinterpret_cast<HICON>(slot.get());
}

const QIcon* IconFromHandle(HICON icon)
{
    IconTable& table = Icons();
    std::lock_guard guard(table.lock);
    auto it = table.byHandle.find(icon);
    return it == table.byHandle.end() ? nullptr : it->second;
}

HDC BeginPaint(QWidget* widget)
{
    auto dc = reinterpret_cast<HDC>(g_nextDc += 4);
    Painters()[dc] = PaintContext{std::make_unique<QPainter>(widget), widget};
    return dc;
}

void EndPaint(HDC dc)
{
    Painters().erase(dc);
}

QPainter* PainterFromHandle(HDC dc)
{
    auto it = Painters().find(dc);
    return it == Painters().end() ? nullptr : it->second.painter.get();
}

QWidget* PaintedWidget(HDC dc)
{
    auto it = Painters().find(dc);
    return it == Painters().end() ? nullptr : it->second.widget;
}

}  // namespace vlm::mfc::detail
