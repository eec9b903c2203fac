#include "tray/main_layout.h"

#include <algorithm>

#include "tray/device_list_box.h"
#include "ui/theme.h"

namespace qs {

bool ComputeMainLayout(const MainLayoutInput& in, MainLayout* out) {
    const int W = in.width;
    const int H = in.height;
    if (W <= 0 || H <= 0 || out == nullptr) return false;
    auto S = [&](int x) { return ScaleForDpi(x, in.dpi); };

    const int m = S(16);
    const int hh = S(56);
    const int bh = S(32);
    const int bandHeight = S(36);
    const int g = S(8);
    const int f = in.footer ? S(30) : 0;

    MainLayout l;
    l.header = {0, 0, W, hh};

    const int by = (hh - bh) / 2;
    int x = m;
    for (size_t i = 0; i < l.buttons.size(); ++i) {
        const int w = std::max(in.buttonTextWidths[i] + S(28), S(68));
        l.buttons[i] = {x, by, x + w, by + bh};
        x += w + g;
    }
    const int bleWidth = std::max(in.bleTextWidth + S(28), S(188));
    l.ble = {W - bleWidth - m, by, W - m, by + bh};

    const int bandTop = hh + S(8);
    l.columnBand = {m, bandTop, W - m, bandTop + bandHeight};

    const int listTop = l.columnBand.bottom + S(6);
    const int listHeight = std::max(H - listTop - f - S(8), S(80));
    l.list = {m, listTop, W - m, listTop + listHeight};

    l.footerVisible = f > 0;
    l.footer = l.footerVisible ? RECT{0, H - f, W, H} : RECT{0, H, W, H};

    const int cy = listTop + listHeight / 2;
    l.emptyTitle = {m, cy - S(56), W - m, cy - S(56) + S(26)};
    l.emptyHint = {2 * m, cy - S(26), W - 2 * m, cy - S(26) + S(44)};
    const int ebw = std::max(in.emptyButtonTextWidth + S(28), S(120));
    const int ebx = (W - ebw) / 2;
    l.emptyButton = {ebx, cy + S(26), ebx + ebw, cy + S(26) + bh};

    const int listWidth = W - 2 * m;
    const ColumnLayoutResult columns = ColumnLayout(listWidth);
    int headerHeight = bandHeight - S(8);
    if (headerHeight < 12) headerHeight = bandHeight;
    const int headerTop = bandTop + (bandHeight - headerHeight) / 2;
    for (int i = 0; i < 6; ++i) {
        const int hx = m + columns[i].x;
        l.columnHeaders[i] = {hx, headerTop, hx + columns[i].width, headerTop + headerHeight};
    }
    const ColumnSpan& bind = columns[kColumnBindButton];
    const ColumnSpan& del = columns[kColumnDeleteButton];
    const int ax = m + bind.x;
    l.columnHeaders[6] = {ax, headerTop, ax + bind.width + del.width + 10, headerTop + headerHeight};

    *out = l;
    return true;
}

SIZE MainMinimumTrackSize(int dpi) {
    return SIZE{ScaleForDpi(1040, dpi), ScaleForDpi(460, dpi)};
}

HeaderTextPlacement PlaceHeaderTexts(int left, int right, int top, int bottom, int countWidth,
                                     int versionWidth, int gap) {
    HeaderTextPlacement p;
    int r = right;
    if (r - countWidth >= left) {
        p.countShown = true;
        p.count = {r - countWidth, top, r, bottom};
        r -= countWidth + gap;
    }
    if (r - versionWidth >= left) {
        p.versionShown = true;
        p.version = {r - versionWidth, top, r, bottom};
    }
    return p;
}

bool NoticeExpired(DWORD nowTick, DWORD noticeTick) {
    return static_cast<DWORD>(nowTick - noticeTick) >= kNoticeLifetimeMs;
}

JobTipStep NextJobTip(int64_t lastId, int64_t id) {
    if (lastId < 0) return JobTipStep{false, id};
    if (id <= lastId) return JobTipStep{false, lastId};
    return JobTipStep{true, id};
}

ProbeAction ProbeActionFor(bool stateKnown, bool connected, bool probe) {
    if (stateKnown && probe == connected) return ProbeAction::kNone;
    if (probe && !connected) return ProbeAction::kRefresh;
    return ProbeAction::kRestyle;
}

}  // namespace qs
