#include "tray/device_list_box.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cwchar>
#include <utility>

#include "tray/gdi_objects.h"
#include "ui/theme.h"

namespace qs {

// --- Layout and hit test ---------------------------------------------------

ColumnLayoutResult ColumnLayout(int width) {
    // Weights in tenths (2.0, 1.7, 1.1, 1.2, 1.2, 1.9; 9.1 in all), so the
    // truncation is exact integer arithmetic rather than a float rounding.
    static constexpr int kWeightTenths[6] = {20, 17, 11, 12, 12, 19};
    static constexpr int kWeightSumTenths = 91;
    const int available = std::max(width - 242, 240);

    ColumnLayoutResult layout{};
    int x = 14;
    for (int i = 0; i < 6; ++i) {
        const int columnWidth = static_cast<int>(static_cast<long long>(available) *
                                                 kWeightTenths[i] / kWeightSumTenths);
        layout[i] = {x, columnWidth};
        x += columnWidth + 10;
    }
    layout[kColumnBindButton] = {width - 208, 112};
    layout[kColumnDeleteButton] = {width - 86, 72};
    return layout;
}

int RowButtonAt(int x, int clientWidth) {
    if (x >= clientWidth - 92 && x < clientWidth - 8) return kDeviceActionDelete;
    if (x >= clientWidth - 214 && x < clientWidth - 90) return kDeviceActionBind;
    return -1;
}

int RowHeightFor(int boldTextHeight, int smallTextHeight) {
    return std::max(boldTextHeight + smallTextHeight + 24, 52);
}

NameLines NameLinesFor(int cardTop, int cardBottom, int boldTextHeight, int smallTextHeight) {
    // A measured row leaves exactly 10 pixels above the name and 8 below
    // the type; a taller row (the 52-pixel minimum) centres the two lines.
    const int spare = std::max(0, cardBottom - cardTop - 18 - boldTextHeight - smallTextHeight);
    NameLines lines;
    lines.nameTop = cardTop + 10 + spare / 2;
    lines.typeTop = lines.nameTop + boldTextHeight;
    lines.typeBottom = lines.typeTop + smallTextHeight;
    return lines;
}

RowPointer::HoverChange RowPointer::SetHover(Spot spot) {
    if (spot == hover_) return {};
    HoverChange change{true, hover_};
    hover_ = spot;
    return change;
}

RowPointer::HoverChange RowPointer::OnButtonDown(Spot spot) {
    press_ = spot;
    return SetHover(spot);
}

RowPointer::Spot RowPointer::OnButtonUp(Spot spot, HoverChange* hoverChange) {
    const Spot pressed = press_;
    press_ = {};
    const HoverChange change = SetHover(spot);
    if (hoverChange) *hoverChange = change;
    if (spot.row >= 0 && spot.button >= 0 && spot == pressed) return spot;
    return {};
}

RowPointer::HoverChange RowPointer::Clear() {
    press_ = {};
    return SetHover({});
}

// --- Drawing helpers ---------------------------------------------------------

namespace {

// Our subclass among others that may sit on the same list box.
constexpr UINT_PTR kSubclassId = 0x51444C;  // "QDL"
// The parent finds the object for WM_MEASUREITEM / WM_DRAWITEM through this
// property (MinGW's comctl32 import library lacks GetWindowSubclass).
constexpr wchar_t kObjectProperty[] = L"QsDeviceListBox";

constexpr UINT kTextFlags = DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_END_ELLIPSIS | DT_NOPREFIX;

void FillSolid(HDC dc, const RECT& rect, COLORREF colour) {
    UniqueBrush brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, brush.get());
}

// A rounded box filled with one colour and outlined with another; radius is
// the corner's radius (RoundRect takes the ellipse, twice as large).
void RoundBox(HDC dc, const RECT& rect, int radius, COLORREF fill, COLORREF outline) {
    UniqueBrush brush(CreateSolidBrush(fill));
    UniquePen pen(CreatePen(PS_SOLID, 1, outline));
    SelectScope b(dc, brush.get());
    SelectScope p(dc, pen.get());
    RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 2 * radius, 2 * radius);
}

void Text(HDC dc, const std::wstring& text, RECT rect, HFONT font, COLORREF colour,
          UINT flags = kTextFlags) {
    if (text.empty()) return;
    SelectScope f(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, flags);
}

int TextWidth(HDC dc, const std::wstring& text, HFONT font) {
    if (text.empty()) return 0;
    SelectScope f(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

int TextHeight(HDC dc, HFONT font) {
    SelectScope f(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    return metrics.tmHeight;
}

COLORREF NetworkColour(int state) {
    if (state == kNetworkLan) return palette::kAccent;
    if (state == kNetworkOffline) return palette::kTextDisabled;
    return palette::kSuccess;
}

COLORREF StatusColour(int state) {
    if (state == kStatusNormal) return palette::kSuccess;
    if (state == kStatusAttention) return palette::kAttention;
    return palette::kTextDisabled;
}

// A filled pill at the column's left edge, vertically centred in the card.
void Pill(HDC dc, const RECT& column, int cardTop, int cardBottom, const std::wstring& text,
          COLORREF colour, HFONT font) {
    if (text.empty()) return;
    const int columnWidth = column.right - column.left;
    const int width = std::min(columnWidth, std::max(TextWidth(dc, text, font) + 16, 44));
    const int top = cardTop + (cardBottom - cardTop - 18) / 2;
    const RECT pill{column.left, top, column.left + width, top + 18};
    RoundBox(dc, pill, 9, colour, colour);
    Text(dc, text, pill, font, palette::kWhite,
         DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
}

void RowButton(HDC dc, RECT area, int cardTop, int cardBottom, const std::wstring& label,
               bool red, bool hovered, bool pressed, HFONT font) {
    if (label.empty()) return;
    using namespace palette;
    const COLORREF outline = red ? kRedRowOutline : kBlueRowOutline;
    COLORREF fill = kWhite;
    if (pressed) {
        fill = red ? kRedRowPressed : kBlueRowPressed;
    } else if (hovered) {
        fill = red ? kRedRowHover : kBlueRowHover;
    }
    area.top = cardTop + (cardBottom - cardTop - 26) / 2;
    area.bottom = area.top + 26;
    RoundBox(dc, area, 8, fill, outline);
    Text(dc, label, area, font, red ? kDanger : kAccent,
         DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
}

}  // namespace

// --- The control -------------------------------------------------------------

DeviceListBox::~DeviceListBox() {
    Detach();
    DeleteFonts();
}

bool DeviceListBox::Attach(HWND listBox) {
    if (!listBox || hwnd_) return false;
    wchar_t className[16] = {};
    GetClassNameW(listBox, className, 16);
    if (_wcsicmp(className, L"ListBox") != 0) return false;
    if (!SetWindowSubclass(listBox, &DeviceListBox::SubclassProc, kSubclassId,
                           reinterpret_cast<DWORD_PTR>(this))) {
        return false;
    }
    SetPropW(listBox, kObjectProperty, this);
    hwnd_ = listBox;
    const LONG_PTR style = GetWindowLongPtrW(listBox, GWL_STYLE);
    SetWindowLongPtrW(listBox, GWL_STYLE,
                      style | LBS_NOTIFY | LBS_OWNERDRAWVARIABLE | LBS_NOINTEGRALHEIGHT);
    return true;
}

HWND DeviceListBox::Create(HWND parent, int id, const RECT& rect) {
    HWND list = CreateWindowExW(
        0, L"LISTBOX", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY | LBS_OWNERDRAWVARIABLE |
            LBS_NOINTEGRALHEIGHT,
        rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (!list) return nullptr;
    if (!Attach(list)) {
        DestroyWindow(list);
        return nullptr;
    }
    return list;
}

void DeviceListBox::Detach() {
    if (!hwnd_) return;
    RemoveWindowSubclass(hwnd_, &DeviceListBox::SubclassProc, kSubclassId);
    RemovePropW(hwnd_, kObjectProperty);
    hwnd_ = nullptr;
    tracking_ = false;
}

DeviceListBox* DeviceListBox::FromWindow(HWND listBox) {
    if (!listBox) return nullptr;
    return static_cast<DeviceListBox*>(GetPropW(listBox, kObjectProperty));
}

bool DeviceListBox::MeasureIfOurs(HWND parent, MEASUREITEMSTRUCT* item) {
    if (!parent || !item || item->CtlType != ODT_LISTBOX) return false;
    DeviceListBox* list = FromWindow(GetDlgItem(parent, static_cast<int>(item->CtlID)));
    if (!list) return false;
    list->EnsureFonts();
    item->itemHeight = static_cast<UINT>(list->rowHeight_);
    return true;
}

bool DeviceListBox::DrawIfOurs(const DRAWITEMSTRUCT& item) {
    if (item.CtlType != ODT_LISTBOX) return false;
    DeviceListBox* list = FromWindow(item.hwndItem);
    if (!list) return false;
    list->Draw(item);
    return true;
}

void DeviceListBox::SetButtonLabels(std::wstring bindLabel, std::wstring deleteLabel) {
    bindLabel_ = std::move(bindLabel);
    deleteLabel_ = std::move(deleteLabel);
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
}

void DeviceListBox::SetRows(std::vector<DeviceRow> rows) {
    rows_ = std::move(rows);
    pointer_.Clear();
    FillItems();
}

void DeviceListBox::ResetFonts() {
    DeleteFonts();
    pointer_.Clear();
    FillItems();
}

void DeviceListBox::EnsureFonts() {
    if (normalFont_ || !hwnd_) return;
    HFONT base = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    if (!base) base = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW font{};
    if (!GetObjectW(base, sizeof(font), &font)) return;
    normalFont_ = CreateFontIndirectW(&font);
    LOGFONTW bold = font;
    bold.lfWeight = 600;
    boldFont_ = CreateFontIndirectW(&bold);
    LOGFONTW reduced = font;
    reduced.lfWeight = 400;
    // 0.88 of the base height, truncated toward zero (heights may be
    // negative: character height rather than cell height).
    reduced.lfHeight = font.lfHeight * 88 / 100;
    smallFont_ = CreateFontIndirectW(&reduced);

    if (HDC dc = GetDC(hwnd_)) {
        boldHeight_ = TextHeight(dc, boldFont_);
        smallHeight_ = TextHeight(dc, smallFont_);
        rowHeight_ = RowHeightFor(boldHeight_, smallHeight_);
        ReleaseDC(hwnd_, dc);
    }
}

void DeviceListBox::DeleteFonts() {
    for (HFONT* font : {&normalFont_, &boldFont_, &smallFont_}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
}

void DeviceListBox::FillItems() {
    if (!hwnd_) return;
    EnsureFonts();
    // One redraw for the whole list instead of one per added item.
    SendMessageW(hwnd_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(hwnd_, LB_RESETCONTENT, 0, 0);
    for (size_t i = 0; i < rows_.size(); ++i) {
        const LRESULT index =
            SendMessageW(hwnd_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L""));
        // The list box asks the parent for each item's height; setting it
        // here keeps the rows right when the parent does not answer. Reading
        // first is cheaper than setting under Wine, and a parent that passes
        // WM_MEASUREITEM on has set it already.
        if (index >= 0 &&
            SendMessageW(hwnd_, LB_GETITEMHEIGHT, static_cast<WPARAM>(index), 0) != rowHeight_) {
            SendMessageW(hwnd_, LB_SETITEMHEIGHT, static_cast<WPARAM>(index), rowHeight_);
        }
    }
    SendMessageW(hwnd_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

RowPointer::Spot DeviceListBox::SpotAt(POINT client) const {
    RowPointer::Spot spot;
    RECT area{};
    GetClientRect(hwnd_, &area);
    spot.button = RowButtonAt(client.x, area.right - area.left);
    const LRESULT hit = SendMessageW(hwnd_, LB_ITEMFROMPOINT, 0, MAKELPARAM(client.x, client.y));
    // The high word is 1 when the point lies outside every item.
    if (HIWORD(hit) == 0) {
        const int row = LOWORD(hit);
        if (row >= 0 && static_cast<size_t>(row) < rows_.size()) spot.row = row;
    }
    if (client.x < 0 || client.y < 0 || client.x >= area.right || client.y >= area.bottom) {
        spot.row = -1;
    }
    return spot;
}

void DeviceListBox::RepaintRow(int row) {
    if (!hwnd_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return;
    RECT band{};
    if (SendMessageW(hwnd_, LB_GETITEMRECT, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(&band)) == LB_ERR) {
        return;
    }
    InvalidateRect(hwnd_, &band, FALSE);
}

void DeviceListBox::ApplyHoverChange(const RowPointer::HoverChange& change) {
    if (!change.changed) return;
    RepaintRow(change.before.row);
    if (pointer_.hover().row != change.before.row) RepaintRow(pointer_.hover().row);
}

void DeviceListBox::SendAction(int row, int action) {
    HWND parent = GetParent(hwnd_);
    if (parent) SendMessageW(parent, WM_DEVICE_ACTION, static_cast<WPARAM>(row), action);
}

void DeviceListBox::Draw(const DRAWITEMSTRUCT& item) {
    if (item.itemID == static_cast<UINT>(-1) || item.itemID >= rows_.size()) return;
    EnsureFonts();
    const DeviceRow& row = rows_[item.itemID];
    const int rowIndex = static_cast<int>(item.itemID);
    const RECT& r = item.rcItem;
    const int l = r.left;
    const int width = r.right - r.left;
    const int cardTop = r.top + 3;
    const int cardBottom = r.bottom - 3;
    if (width <= 0 || r.bottom <= r.top) return;

    OffscreenItem canvas(item.hDC, r);
    if (!canvas.ready()) return;
    HDC dc = canvas.dc();
    SetBkMode(dc, TRANSPARENT);

    using namespace palette;
    FillSolid(dc, r, kPage);
    const bool hoverRow = pointer_.hover().row == rowIndex;
    RoundBox(dc, RECT{l + 10, cardTop, r.right - 10, cardBottom}, 6,
             hoverRow ? kHoverFill : kWhite, hoverRow ? kCardHoverOutline : kSeparator);

    const ColumnLayoutResult columns = ColumnLayout(width);
    auto column = [&](int index, int top, int bottom) {
        return RECT{l + columns[index].x, top, l + columns[index].x + columns[index].width, bottom};
    };

    const NameLines lines = NameLinesFor(cardTop, cardBottom, boldHeight_, smallHeight_);
    Text(dc, row.name, column(kColumnName, lines.nameTop, lines.typeTop), boldFont_, kTextPrimary);
    Text(dc, row.typeText, column(kColumnName, lines.typeTop, lines.typeBottom), smallFont_,
         kTextSecondary);
    Text(dc, row.sn, column(kColumnSn, cardTop, cardBottom), normalFont_, kTextSecondary);
    Pill(dc, column(kColumnNetwork, cardTop, cardBottom), cardTop, cardBottom, row.networkText,
         NetworkColour(row.networkState), smallFont_);
    Pill(dc, column(kColumnStatus, cardTop, cardBottom), cardTop, cardBottom, row.statusText,
         StatusColour(row.statusState), smallFont_);
    Text(dc, row.portText, column(kColumnPort, cardTop, cardBottom), normalFont_, kTextPrimary);
    // The printer column reaches under the bind button at every width; its
    // text stops short of the button so a long name keeps its ellipsis.
    RECT printerBox = column(kColumnPrinter, cardTop, cardBottom);
    printerBox.right = std::min<LONG>(printerBox.right, l + columns[kColumnBindButton].x - 6);
    Text(dc, row.printerText, printerBox, normalFont_, row.bound ? kTextPrimary : kTextSecondary);

    const RowPointer::Spot hover = pointer_.hover();
    const RowPointer::Spot press = pointer_.press();
    auto hovered = [&](int button) { return hover.row == rowIndex && hover.button == button; };
    auto pressed = [&](int button) { return press.row == rowIndex && press.button == button; };
    RowButton(dc, RECT{l + width - 208, cardTop, l + width - 96, cardBottom}, cardTop, cardBottom,
              bindLabel_, false, hovered(kDeviceActionBind), pressed(kDeviceActionBind),
              normalFont_);
    RowButton(dc, RECT{l + width - 86, cardTop, l + width - 14, cardBottom}, cardTop, cardBottom,
              deleteLabel_, true, hovered(kDeviceActionDelete), pressed(kDeviceActionDelete),
              normalFont_);

    canvas.Present();
}

LRESULT CALLBACK DeviceListBox::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam, UINT_PTR, DWORD_PTR refData) {
    auto* self = reinterpret_cast<DeviceListBox*>(refData);
    if (message == WM_NCDESTROY) {
        // The window goes away before its owner frees this object.
        RemoveWindowSubclass(window, &DeviceListBox::SubclassProc, kSubclassId);
        RemovePropW(window, kObjectProperty);
        self->hwnd_ = nullptr;
        self->tracking_ = false;
        self->DeleteFonts();
        return DefSubclassProc(window, message, wParam, lParam);
    }
    return self->OnMessage(message, wParam, lParam);
}

LRESULT DeviceListBox::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = hwnd_;
    const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    switch (message) {
        case WM_MOUSEMOVE: {
            if (!tracking_) {
                TRACKMOUSEEVENT track{};
                track.cbSize = sizeof(track);
                track.dwFlags = TME_LEAVE;
                track.hwndTrack = window;
                tracking_ = TrackMouseEvent(&track) != FALSE;
            }
            ApplyHoverChange(pointer_.SetHover(SpotAt(point)));
            break;
        }
        case WM_MOUSELEAVE:
        case WM_KILLFOCUS:
            tracking_ = false;
            {
                // The press goes too, so the button drawn pressed comes back.
                const RowPointer::Spot pressed = pointer_.press();
                ApplyHoverChange(pointer_.Clear());
                RepaintRow(pressed.row);
            }
            break;
        case WM_LBUTTONDOWN: {
            const RowPointer::Spot spot = SpotAt(point);
            const RowPointer::Spot before = pointer_.press();
            ApplyHoverChange(pointer_.OnButtonDown(spot));
            RepaintRow(before.row);
            RepaintRow(spot.row);
            break;
        }
        case WM_LBUTTONUP: {
            // The list box's own handling first: it releases the mouse
            // capture, which must not be held while the parent runs a dialog
            // for the action.
            const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
            if (!hwnd_) return result;
            const RowPointer::Spot pressed = pointer_.press();
            RowPointer::HoverChange change;
            const RowPointer::Spot action = pointer_.OnButtonUp(SpotAt(point), &change);
            ApplyHoverChange(change);
            RepaintRow(pressed.row);
            if (action.row >= 0) SendAction(action.row, action.button);
            return result;
        }
        case WM_RBUTTONUP: {
            const RowPointer::Spot spot = SpotAt(point);
            if (spot.row >= 0) {
                SendAction(spot.row, kDeviceActionMenu);
                return 0;
            }
            break;
        }
        case WM_MOUSEWHEEL: {
            const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
            if (!hwnd_) return result;
            POINT client = point;  // the wheel's point is in screen coordinates
            ScreenToClient(window, &client);
            ApplyHoverChange(pointer_.SetHover(SpotAt(client)));
            return result;
        }
        case WM_SETCURSOR: {
            POINT cursor{};
            if (reinterpret_cast<HWND>(wParam) == window && GetCursorPos(&cursor) &&
                ScreenToClient(window, &cursor)) {
                const RowPointer::Spot spot = SpotAt(cursor);
                if (spot.row >= 0 && spot.button >= 0) {
                    SetCursor(LoadCursorW(nullptr, IDC_HAND));
                    return TRUE;
                }
            }
            break;
        }
        case WM_ERASEBKGND: {
            RECT area{};
            GetClientRect(window, &area);
            FillSolid(reinterpret_cast<HDC>(wParam), area, palette::kPage);
            return TRUE;
        }
        default:
            break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace qs
