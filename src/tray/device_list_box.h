// The main window's owner-drawn device list (control 1001): one card per
// device with six data columns and two inline buttons, hover and press
// feedback, a hand cursor over the buttons and a context-menu request. It
// only draws and reports clicks: the parent fills it and acts on
// WM_DEVICE_ACTION (tray_messages.h), which the list sends to it.
//
// A list box sends WM_MEASUREITEM and WM_DRAWITEM to its parent: the parent
// passes them on with MeasureIfOurs / DrawIfOurs, as it does for
// ModernButton.
#pragma once
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "tray/device_rows.h"
#include "tray/tray_messages.h"

namespace qs {

// --- Layout and hit test (device pixels, not scaled with DPI) ----------

struct ColumnSpan {
    int x;      // from the row's left edge
    int width;
};
// Columns of ColumnLayout, in order.
enum ListColumn : int {
    kColumnName = 0,
    kColumnSn,
    kColumnNetwork,
    kColumnStatus,
    kColumnPort,
    kColumnPrinter,
    kColumnBindButton,
    kColumnDeleteButton,
    kListColumnCount
};
using ColumnLayoutResult = std::array<ColumnSpan, kListColumnCount>;
// The six data columns share max(W - 242, 240) pixels by their weights; the
// two buttons sit at fixed distances from the right edge. The main window
// places its column headers with the same layout.
ColumnLayoutResult ColumnLayout(int width);

// Row button under client x in a list of client width W: 1 delete
// [W-92, W-8), else 0 bind [W-214, W-90), else -1. The areas are wider than
// the drawn buttons and delete wins where they overlap.
int RowButtonAt(int x, int clientWidth);

// Row height for the bold and small fonts' text heights.
int RowHeightFor(int boldTextHeight, int smallTextHeight);

// The name and type lines of a card, each as tall as its font, so that
// neither is clipped when the dialog font grows with the DPI.
struct NameLines {
    int nameTop;
    int typeTop;     // also the name's bottom
    int typeBottom;
};
NameLines NameLinesFor(int cardTop, int cardBottom, int boldTextHeight, int smallTextHeight);

// What the mouse rules decide, kept apart from the window so tables of
// event sequences can test them. Rows and buttons are -1 for none.
class RowPointer {
public:
    struct Spot {
        int row = -1;
        int button = -1;
        bool operator==(const Spot&) const = default;
    };
    // The hover changed: the caller repaints the old and the new row.
    struct HoverChange {
        bool changed = false;
        Spot before;
    };
    HoverChange SetHover(Spot spot);
    HoverChange OnButtonDown(Spot spot);
    // Returns the (row, button) to report, or a Spot of -1s: only a press
    // released on the same button of the same row counts.
    Spot OnButtonUp(Spot spot, HoverChange* hoverChange);
    // Leave and focus loss: no press, no hover.
    HoverChange Clear();

    Spot hover() const { return hover_; }
    Spot press() const { return press_; }

private:
    Spot hover_;
    Spot press_;
};

// --- The control -------------------------------------------------------

class DeviceListBox {
public:
    DeviceListBox() = default;
    // Removes the subclass when the list is still alive and frees the fonts.
    ~DeviceListBox();
    DeviceListBox(const DeviceListBox&) = delete;
    DeviceListBox& operator=(const DeviceListBox&) = delete;

    // Takes over an existing list box (the dialog's control 1001). The
    // resource should already carry LBS_OWNERDRAWVARIABLE, LBS_NOTIFY and
    // LBS_NOINTEGRALHEIGHT: a list box reads its owner-draw style when it is
    // created, so adding the bits here only covers the others.
    bool Attach(HWND listBox);
    // Creates a list box child of parent with the right styles and attaches
    // to it; nullptr on failure.
    HWND Create(HWND parent, int id, const RECT& rect);
    void Detach();

    // Replaces every row; hover and press are forgotten.
    void SetRows(std::vector<DeviceRow> rows);
    // On WM_DPICHANGED of the parent: new fonts from the control's font and
    // the rows measured again.
    void ResetFonts();
    // Labels of the two row buttons; an empty label is not drawn but its
    // button still takes clicks.
    void SetButtonLabels(std::wstring bindLabel, std::wstring deleteLabel);

    const std::vector<DeviceRow>& rows() const { return rows_; }
    int rowHeight() const { return rowHeight_; }
    RowPointer::Spot hover() const { return pointer_.hover(); }
    RowPointer::Spot press() const { return pointer_.press(); }
    HWND hwnd() const { return hwnd_; }

    // The list attached to a window, or nullptr.
    static DeviceListBox* FromWindow(HWND listBox);
    // For the parent's WM_MEASUREITEM / WM_DRAWITEM: true when the item
    // belongs to one of these lists and was handled (the parent answers TRUE
    // then). A measure request names only the control id, hence the parent.
    static bool MeasureIfOurs(HWND parent, MEASUREITEMSTRUCT* item);
    static bool DrawIfOurs(const DRAWITEMSTRUCT& item);

    // Paints one row into item.hDC through an off-screen bitmap.
    void Draw(const DRAWITEMSTRUCT& item);

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam, UINT_PTR id, DWORD_PTR refData);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void EnsureFonts();
    void DeleteFonts();
    void FillItems();
    RowPointer::Spot SpotAt(POINT client) const;
    void RepaintRow(int row);
    void ApplyHoverChange(const RowPointer::HoverChange& change);
    void SendAction(int row, int action);

    HWND hwnd_ = nullptr;
    std::vector<DeviceRow> rows_;
    RowPointer pointer_;
    bool tracking_ = false;
    std::wstring bindLabel_;
    std::wstring deleteLabel_;
    HFONT normalFont_ = nullptr;
    HFONT boldFont_ = nullptr;
    HFONT smallFont_ = nullptr;
    int boldHeight_ = 0;
    int smallHeight_ = 0;
    int rowHeight_ = 52;
};

}  // namespace qs
