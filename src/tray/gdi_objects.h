// Owners for the GDI objects the tray's own painting makes: fonts, brushes
// and pens are deleted on every path, and a selection into a DC is undone
// when its scope ends.
#pragma once
#include <windows.h>

#include "foundation/handles.h"

namespace qs {

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { ::DeleteObject(object); }
};
using UniqueFont = UniqueValue<HFONT, nullptr, GdiObjectDeleter>;
using UniqueBrush = UniqueValue<HBRUSH, nullptr, GdiObjectDeleter>;
using UniquePen = UniqueValue<HPEN, nullptr, GdiObjectDeleter>;

// SelectObject for one scope; the object itself stays the caller's.
class SelectScope {
public:
    SelectScope(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object ? SelectObject(dc, object) : nullptr) {}
    ~SelectScope() {
        if (previous_) SelectObject(dc_, previous_);
    }
    SelectScope(const SelectScope&) = delete;
    SelectScope& operator=(const SelectScope&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A memory DC with a compatible bitmap the size of one item, its origin
// moved so that drawing uses the target's coordinates; Present copies the
// result onto the target.
class OffscreenItem {
public:
    OffscreenItem(HDC target, const RECT& area)
        : target_(target), area_(area), dc_(CreateCompatibleDC(target)) {
        const int width = area.right - area.left;
        const int height = area.bottom - area.top;
        if (!dc_ || width <= 0 || height <= 0) return;
        bitmap_ = CreateCompatibleBitmap(target, width, height);
        if (!bitmap_) return;
        previous_ = SelectObject(dc_, bitmap_);
        SetViewportOrgEx(dc_, -area.left, -area.top, nullptr);
    }
    ~OffscreenItem() {
        if (previous_) SelectObject(dc_, previous_);
        if (bitmap_) DeleteObject(bitmap_);
        if (dc_) DeleteDC(dc_);
    }
    OffscreenItem(const OffscreenItem&) = delete;
    OffscreenItem& operator=(const OffscreenItem&) = delete;

    bool ready() const { return previous_ != nullptr; }
    HDC dc() const { return dc_; }
    void Present() const {
        BitBlt(target_, area_.left, area_.top, area_.right - area_.left, area_.bottom - area_.top,
               dc_, area_.left, area_.top, SRCCOPY);
    }

private:
    HDC target_;
    RECT area_;
    HDC dc_;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

}  // namespace qs
