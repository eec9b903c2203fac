#include "tray/jobs_dlg.h"

#include "foundation/text.h"
#include "ui/core_request.h"
#include "ui/message_box.h"
#include "ui/theme.h"

namespace qs {

namespace {

constexpr uint32_t kRequestWaitMs = 3000;

struct Column {
    TextId header;
    int width;  // at 96 dpi
};
constexpr Column kColumns[] = {
    {TxtColId, 70}, {TxtColSn, 140}, {TxtColStatus, 100}, {TxtColTime, 150}, {TxtColError, 220},
};

void SetCellText(HWND list, int row, int column, const std::wstring& text) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

TextId JobStateText(int state) {
    switch (state) {
        case 0: return TxtJobPending;
        case 1: return TxtJobSending;
        case 2: return TxtJobSent;
        case 3: return TxtJobFailed;
        case 4: return TxtJobCanceled;
        default: return TxtStatusUnknown;
    }
}

int64_t ParseJobId(const std::wstring& text) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == L'-';
    if (negative) i = 1;
    if (i >= text.size()) return 0;
    // Accumulated as a negative number so that INT64_MIN fits too.
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9') return 0;
        const int digit = c - L'0';
        if (value < (INT64_MIN + digit) / 10) return 0;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == INT64_MIN) return 0;
    return -value;
}

JobsDlg::~JobsDlg() { ReleaseImageList(); }

INT_PTR JobsDlg::Run(HWND owner) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    return RunModal(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner);
}

BOOL JobsDlg::OnInitDialog() {
    SetWindowTextW(hwnd(), Tr(TxtJobsTitle).c_str());
    SetDlgItemTextW(hwnd(), kRetry, Tr(TxtRetry).c_str());
    SetDlgItemTextW(hwnd(), kCancelJob, Tr(TxtCancelJob).c_str());
    SetDlgItemTextW(hwnd(), kRefresh, Tr(TxtRefresh).c_str());
    SetDlgItemTextW(hwnd(), IDOK, Tr(TxtClose).c_str());
    SetDlgItemTextW(hwnd(), kEmpty, Tr(TxtNoJobs).c_str());
    SetUpList();
    Fill();
    return TRUE;
}

void JobsDlg::SetUpList() {
    HWND list = Item(kList);
    if (!list) return;
    const DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    SendMessageW(list, LVM_SETBKCOLOR, 0, palette::kWhite);
    SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, palette::kWhite);
    SendMessageW(list, LVM_SETTEXTCOLOR, 0, palette::kTextPrimary);

    // A list view makes its rows as tall as its small images: a one pixel
    // wide image list is the plain way to get roomy rows.
    rowHeight_ = ImageList_Create(1, Scale(hwnd(), 32), ILC_COLOR32, 1, 0);
    if (rowHeight_) {
        SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight_));
    }

    int index = 0;
    for (const Column& c : kColumns) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(Tr(c.header).c_str());
        column.cx = Scale(hwnd(), c.width);
        column.iSubItem = index;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&column));
        ++index;
    }

    // The empty text takes the list's place.
    RECT area{};
    GetWindowRect(list, &area);
    MapWindowPoints(nullptr, hwnd(), reinterpret_cast<POINT*>(&area), 2);
    SetWindowPos(Item(kEmpty), nullptr, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void JobsDlg::Fill() {
    HWND list = Item(kList);
    if (!list) return;
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);

    JsonPtr reply = CoreRequest("jobs", nullptr, kRequestWaitMs);
    const cJSON* data = reply ? cJSON_GetObjectItemCaseSensitive(reply.get(), "data") : nullptr;
    int rows = 0;
    if (JsonFlag(reply.get(), "ok", false) && cJSON_IsArray(data)) {
        const cJSON* job = nullptr;
        cJSON_ArrayForEach(job, data) {
            const std::wstring id = std::to_wstring(JsonInt64(job, "id", 0));
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = rows;
            item.pszText = const_cast<wchar_t*>(id.c_str());
            const LRESULT at = SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
            if (at < 0) continue;
            const int row = static_cast<int>(at);
            SetCellText(list, row, 1, Utf8ToWide(JsonString(job, "sn")));
            SetCellText(list, row, 2, Tr(JobStateText(JsonInt(job, "state", -1))));
            SetCellText(list, row, 3, Utf8ToWide(JsonString(job, "createdAt")));
            SetCellText(list, row, 4, Utf8ToWide(JsonString(job, "error")));
            ++rows;
        }
    }

    HWND empty = Item(kEmpty);
    if (rows > 0) {
        ShowWindow(empty, SW_HIDE);
        ShowWindow(list, SW_SHOW);
        return;
    }
    const std::string error = ReplyError(reply.get());
    SetWindowTextW(empty, error.empty() ? Tr(TxtNoJobs).c_str() : Utf8ToWide(error).c_str());
    ShowWindow(list, SW_HIDE);
    ShowWindow(empty, SW_SHOW);
}

int64_t JobsDlg::SelectedJobId() const {
    HWND list = Item(kList);
    const LRESULT selected = SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                          MAKELPARAM(LVNI_SELECTED, 0));
    if (selected < 0) return 0;
    wchar_t buffer[64] = {};
    LVITEMW item{};
    item.iSubItem = 0;
    item.pszText = buffer;
    item.cchTextMax = static_cast<int>(sizeof(buffer) / sizeof(buffer[0]));
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(selected),
                 reinterpret_cast<LPARAM>(&item));
    return ParseJobId(buffer);
}

void JobsDlg::SendForSelected(const char* cmd) {
    const int64_t id = SelectedJobId();
    if (id == 0) {
        ShowMessageBox(hwnd(), Tr(TxtSelectJobFirst), Tr(TxtNotice), MB_OK | MB_ICONINFORMATION);
        return;
    }
    JsonPtr params(cJSON_CreateObject());
    cJSON_AddNumberToObject(params.get(), "id", static_cast<double>(id));
    JsonPtr reply = CoreRequest(cmd, std::move(params), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) {
        ShowMessageBox(hwnd(), Utf8ToWide(error), Tr(TxtError), MB_OK | MB_ICONERROR);
    }
    Fill();
}

void JobsDlg::ReleaseImageList() {
    if (!rowHeight_) return;
    // Detach first: the list view would otherwise free it a second time.
    if (hwnd()) SendMessageW(Item(kList), LVM_SETIMAGELIST, LVSIL_SMALL, 0);
    ImageList_Destroy(rowHeight_);
    rowHeight_ = nullptr;
}

INT_PTR JobsDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
            case kRetry: SendForSelected("retry"); return TRUE;
            case kCancelJob: SendForSelected("cancel"); return TRUE;
            case kRefresh: Fill(); return TRUE;
            default: break;
        }
    }
    if (message == WM_DESTROY) ReleaseImageList();
    return ThemedDlg::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
