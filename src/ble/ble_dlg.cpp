#include "ble/ble_dlg.h"

#include <memory>

#include "ble/ble_presentation.h"
#include "ble/ble_resource.h"
#include "ble/current_ssid.h"
#include "ui/message_box.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {

namespace {

constexpr UINT_PTR kPollTimerId = 1;
const int kIpEdits[] = {IDC_BLE_IP, IDC_BLE_MASK, IDC_BLE_GATEWAY, IDC_BLE_DNS};

// Paints into an off-screen bitmap of the item's size, then copies it, so
// the rows and the panel never flicker.
class BufferedPaint {
public:
    BufferedPaint(HDC target, const RECT& area)
        : target_(target), area_(area), width_(area.right - area.left), height_(area.bottom - area.top) {
        dc_ = CreateCompatibleDC(target);
        bitmap_ = CreateCompatibleBitmap(target, width_ > 0 ? width_ : 1, height_ > 0 ? height_ : 1);
        old_ = SelectObject(dc_, bitmap_);
        SetBkMode(dc_, TRANSPARENT);
    }
    ~BufferedPaint() {
        BitBlt(target_, area_.left, area_.top, width_, height_, dc_, 0, 0, SRCCOPY);
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    BufferedPaint(const BufferedPaint&) = delete;
    BufferedPaint& operator=(const BufferedPaint&) = delete;
    HDC dc() const { return dc_; }
    RECT local() const { return RECT{0, 0, width_, height_}; }

private:
    HDC target_;
    RECT area_;
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

void Fill(HDC dc, const RECT& r, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

// A rounded card: RoundRect takes the corner's ellipse size, twice the radius.
void Card(HDC dc, const RECT& r, int radius, COLORREF fill, COLORREF outline) {
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, 1, outline);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    RoundRect(dc, r.left, r.top, r.right, r.bottom, radius * 2, radius * 2);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);
}

void Text(HDC dc, HFONT font, COLORREF color, const std::wstring& text, RECT r, UINT vertical) {
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, color);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              vertical | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX | DT_LEFT);
    SelectObject(dc, old);
}

HFONT MakeFont(HWND window, int size, int weight) {
    return CreateFontW(-Scale(window, size), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       L"Segoe UI");
}

}  // namespace

INT_PTR ShowBleDialog(HWND owner) {
    BleDlg dialog(&BleWorker::Instance());
    return dialog.RunModal(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_BLE_DIALOG), owner);
}

BleDlg::BleDlg(BleWorker* worker) : worker_(worker) {}

BleDlg::~BleDlg() {
    if (headlineFont_) DeleteObject(headlineFont_);
    if (detailFont_) DeleteObject(detailFont_);
}

BOOL BleDlg::OnInitDialog() {
    headlineFont_ = MakeFont(hwnd(), 15, 600);
    detailFont_ = MakeFont(hwnd(), 13, 400);
    SetTexts();
    MeasureRows();
    SetPanel(Tr(TxtBleHint), L"", palette::kTextSecondary);
    ShowListHint(Tr(TxtNoDevicesFound));
    SetEditText(IDC_BLE_WIFI_NAME, ssidSource_ ? ssidSource_() : CurrentSsid());
    SetBusy(false);
    if (worker_) worker_->StartWorker(hwnd(), WM_BLE_EVENT);
    return TRUE;
}

void BleDlg::SetTexts() {
    SetWindowTextW(hwnd(), Tr(TxtBleTitle).c_str());
    const struct {
        int id;
        TextId text;
    } texts[] = {
        {IDC_BLE_NEARBY_LABEL, TxtNearbyDevices}, {IDC_BLE_SCAN, TxtScan},
        {IDC_BLE_CONNECT, TxtConnect},            {IDC_BLE_NETWORK_LABEL, TxtNetworkStatus},
        {IDC_BLE_WIFI_SECTION, TxtWifiSection},   {IDC_BLE_WIFI_NAME_LABEL, TxtWifiName},
        {IDC_BLE_PASSWORD_LABEL, TxtPassword},    {IDC_BLE_SEND_WIFI, TxtSendWifi},
        {IDC_BLE_STATIC_IP, TxtUseStaticIp},      {IDC_BLE_IP_LABEL, TxtIpAddress},
        {IDC_BLE_MASK_LABEL, TxtSubnetMask},      {IDC_BLE_GATEWAY_LABEL, TxtGateway},
        {IDC_BLE_DNS_LABEL, TxtDns},              {IDC_BLE_SEND_IP, TxtSendIp},
        {IDOK, TxtClose},
    };
    for (const auto& t : texts) SetDlgItemTextW(hwnd(), t.id, Tr(t.text).c_str());
}

void BleDlg::MeasureRows() {
    SendDlgItemMessageW(hwnd(), IDC_BLE_DEVICE_LIST, LB_SETITEMHEIGHT, 0, Scale(hwnd(), 56));
}

std::wstring BleDlg::EditText(int id) const {
    HWND edit = Item(id);
    const int length = edit ? GetWindowTextLengthW(edit) : 0;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    if (length > 0) GetWindowTextW(edit, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

void BleDlg::SetEditText(int id, const std::wstring& text) { SetDlgItemTextW(hwnd(), id, text.c_str()); }

bool BleDlg::Checked(int id) const { return IsDlgButtonChecked(hwnd(), id) == BST_CHECKED; }

void BleDlg::Enable(int id, bool on) {
    if (HWND control = Item(id)) EnableWindow(control, on ? TRUE : FALSE);
}

int BleDlg::Box(const std::wstring& text, UINT flags) {
    return ShowMessageBox(hwnd(), text, Tr(TxtBleTitle), flags);
}

void BleDlg::SetBusy(bool busy) {
    busy_ = busy;
    Enable(IDC_BLE_SCAN, !busy_);
    Enable(IDC_BLE_CONNECT, !busy_ && !foundDevices_.empty());
    Enable(IDC_BLE_SEND_WIFI, !busy_ && linked_);
    Enable(IDC_BLE_SEND_IP, !busy_ && linked_);
    UpdateIpFields();
}

void BleDlg::UpdateIpFields() {
    const bool on = Checked(IDC_BLE_STATIC_IP) && linked_ && !busy_;
    for (int id : kIpEdits) Enable(id, on);
}

void BleDlg::SetPanel(const std::wstring& headline, const std::wstring& detail, COLORREF color) {
    headline_ = headline;
    detail_ = detail;
    panelColor_ = color;
    if (HWND panel = Item(IDC_BLE_STATUS_PANEL)) InvalidateRect(panel, nullptr, FALSE);
}

void BleDlg::ShowListHint(const std::wstring& text) {
    HWND hint = Item(IDC_BLE_LIST_HINT);
    if (!hint) return;
    SetWindowTextW(hint, text.c_str());
    // Above the list, which clips its siblings.
    SetWindowPos(hint, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
}

void BleDlg::HideListHint() {
    if (HWND hint = Item(IDC_BLE_LIST_HINT)) ShowWindow(hint, SW_HIDE);
}

void BleDlg::SetPollInterval(int ms) {
    pollMs_ = ms;
    if (pollTimerFn_) {
        pollTimerFn_(ms);
    } else if (ms > 0) {
        SetTimer(hwnd(), kPollTimerId, static_cast<UINT>(ms), nullptr);
    } else {
        KillTimer(hwnd(), kPollTimerId);
    }
}

void BleDlg::ShowStatus(const ProvisionStatus& status) {
    lastStatus_ = status;
    dualWifiSeen_ = status.hasDualWifi && status.dualWifi;
    const StatusLines lines = StatusLinesFor(status);
    SetPanel(lines.headline, lines.detail, StatusColor(status));
    ApplyStatusToForm(status);
    if (status.netStatus == 4) {
        waitingOnline_ = false;
        SetPollInterval(0);
        return;
    }
    const int interval = waitingOnline_ ? kPollAfterWriteMs : PollInterval(status);
    if (linked_ && interval != pollMs_) SetPollInterval(interval);
}

void BleDlg::ApplyStatusToForm(const ProvisionStatus& status) {
    if (!(ipTouched_ && Checked(IDC_BLE_STATIC_IP))) {
        formUpdating_ = true;
        if (!ipTouched_ && status.ipMode >= 0) {
            CheckDlgButton(hwnd(), IDC_BLE_STATIC_IP, status.ipMode == 1 ? BST_CHECKED : BST_UNCHECKED);
        }
        if (!Checked(IDC_BLE_STATIC_IP) || !ipTouched_) {
            SetEditText(IDC_BLE_IP, status.ip);
            SetEditText(IDC_BLE_MASK, status.netmask);
            SetEditText(IDC_BLE_GATEWAY, status.gateway);
            SetEditText(IDC_BLE_DNS, status.dns);
        }
        formUpdating_ = false;
    }
    UpdateIpFields();
}

void BleDlg::OnScan() {
    if (busy_) return;
    SendDlgItemMessageW(hwnd(), IDC_BLE_DEVICE_LIST, LB_RESETCONTENT, 0, 0);
    foundDevices_.clear();
    linkedRow_ = -1;
    ShowListHint(Tr(TxtScanning));
    SetPanel(Tr(TxtScanning), L"", palette::kTextSecondary);
    Enable(IDC_BLE_SCAN, false);
    Enable(IDC_BLE_CONNECT, false);
    if (worker_) worker_->StartScan(scanMs_);
}

void BleDlg::OnConnect() {
    if (busy_) return;
    const LRESULT row = SendDlgItemMessageW(hwnd(), IDC_BLE_DEVICE_LIST, LB_GETCURSEL, 0, 0);
    if (row == LB_ERR || row < 0 || static_cast<size_t>(row) >= foundDevices_.size()) {
        Box(Tr(TxtSelectDeviceFirst), MB_OK | MB_ICONINFORMATION);
        return;
    }
    linkedRow_ = static_cast<int>(row);
    ipTouched_ = false;
    SetBusy(true);
    InvalidateRect(Item(IDC_BLE_DEVICE_LIST), nullptr, FALSE);
    const FoundDevice& device = foundDevices_[static_cast<size_t>(row)];
    if (worker_) worker_->ConnectDevice(device.address, device.addressType);
}

void BleDlg::OnSendWifi() {
    if (!linked_ || busy_) return;
    const std::wstring name = TrimSpace(EditText(IDC_BLE_WIFI_NAME));
    const std::wstring password = TrimSpace(EditText(IDC_BLE_PASSWORD));
    switch (CheckWifiInput(name, password)) {
        case WifiInputCheck::kEmptyName: Box(Tr(TxtEnterWifiName), MB_OK | MB_ICONWARNING); return;
        case WifiInputCheck::kNameTooLong: Box(Tr(TxtWifiNameTooLong), MB_OK | MB_ICONWARNING); return;
        case WifiInputCheck::kPasswordTooLong: Box(Tr(TxtPasswordTooLong), MB_OK | MB_ICONWARNING); return;
        case WifiInputCheck::kOk: break;
    }
    if (NeedsFiveGhzConfirmation(name, dualWifiSeen_) &&
        Box(Tr(TxtWifi5GWarning), MB_YESNO | MB_ICONWARNING) != IDYES) {
        return;
    }
    SetBusy(true);
    if (worker_) worker_->WriteCommand(BuildWifiCommand(name, password));
}

void BleDlg::OnSendIp() {
    if (!linked_ || busy_) return;
    const bool isStatic = Checked(IDC_BLE_STATIC_IP);
    const std::wstring ip = TrimSpace(EditText(IDC_BLE_IP));
    const std::wstring mask = TrimSpace(EditText(IDC_BLE_MASK));
    const std::wstring gateway = TrimSpace(EditText(IDC_BLE_GATEWAY));
    const std::wstring dns = TrimSpace(EditText(IDC_BLE_DNS));
    if (isStatic && !StaticIpComplete(ip, mask, gateway, dns)) {
        Box(Tr(TxtStaticIpIncomplete), MB_OK | MB_ICONWARNING);
        return;
    }
    SetBusy(true);
    if (worker_) worker_->WriteCommand(BuildIpCommand(isStatic, ip, mask, gateway, dns));
}

void BleDlg::OnStaticIpClicked() {
    if (formUpdating_) return;
    ipTouched_ = true;
    if (Checked(IDC_BLE_STATIC_IP)) {
        UpdateIpFields();
    } else {
        ApplyStatusToForm(lastStatus_);
    }
}

void BleDlg::OnTimer() {
    if (!linked_ || busy_ || readPending_) return;
    readPending_ = true;
    if (worker_) worker_->ReadStatus();
}

void BleDlg::OnBleEvent(const BleEvent& event) {
    switch (event.eventKind) {
        case EvDeviceFound: OnDeviceFound(event); break;
        case EvScanFinished: OnScanFinished(); break;
        case EvConnected:
            linked_ = true;
            InvalidateRect(Item(IDC_BLE_DEVICE_LIST), nullptr, FALSE);
            SetBusy(false);
            ShowStatus(event.deviceStatus);
            break;
        case EvStatusRead:
            readPending_ = false;
            waitingOnline_ = false;
            if (linked_) ShowStatus(event.deviceStatus);
            break;
        case EvWritten:
            waitingOnline_ = true;
            SetPollInterval(kPollAfterWriteMs);
            SetPanel(Tr(TxtSentWaiting), L"", palette::kAccent);
            SetBusy(false);
            break;
        case EvFailed: OnFailed(event); break;
        case EvDisconnected: OnDisconnected(); break;
    }
}

void BleDlg::OnDeviceFound(const BleEvent& event) {
    HWND list = Item(IDC_BLE_DEVICE_LIST);
    size_t index = foundDevices_.size();
    for (size_t i = 0; i < foundDevices_.size(); ++i) {
        if (foundDevices_[i].address == event.deviceAddress) index = i;
    }
    if (index < foundDevices_.size()) {
        FoundDevice& known = foundDevices_[index];
        known.addressType = event.addressType;
        if (known.name != event.deviceName) {
            known.name = event.deviceName;
            const LRESULT selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
            SendMessageW(list, LB_DELETESTRING, index, 0);
            SendMessageW(list, LB_INSERTSTRING, index, reinterpret_cast<LPARAM>(known.name.c_str()));
            if (selected == static_cast<LRESULT>(index)) SendMessageW(list, LB_SETCURSEL, index, 0);
        }
    } else {
        foundDevices_.push_back({event.deviceAddress, event.addressType, event.deviceName});
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(event.deviceName.c_str()));
        if (SendMessageW(list, LB_GETCURSEL, 0, 0) == LB_ERR && foundDevices_.size() == 1) {
            SendMessageW(list, LB_SETCURSEL, 0, 0);
        }
    }
    HideListHint();
    if (!busy_) {
        Enable(IDC_BLE_SCAN, true);
        Enable(IDC_BLE_CONNECT, !foundDevices_.empty());
    }
}

void BleDlg::OnScanFinished() {
    if (!busy_) {
        Enable(IDC_BLE_SCAN, true);
        Enable(IDC_BLE_CONNECT, !foundDevices_.empty());
    }
    if (foundDevices_.empty()) {
        ShowListHint(Tr(TxtNoDevicesFound));
        SetPanel(Tr(TxtBleHint), L"", palette::kTextSecondary);
        return;
    }
    HWND list = Item(IDC_BLE_DEVICE_LIST);
    if (SendMessageW(list, LB_GETCURSEL, 0, 0) == LB_ERR) SendMessageW(list, LB_SETCURSEL, 0, 0);
    // The panel must not keep saying "scanning" once the scan is over.
    if (headline_ == Tr(TxtScanning)) {
        if (linked_) {
            ShowStatus(lastStatus_);
        } else {
            SetPanel(Tr(TxtBleHint), L"", palette::kTextSecondary);
        }
    }
}

void BleDlg::OnFailed(const BleEvent& event) {
    readPending_ = false;
    SetBusy(false);
    if (!linked_ && linkedRow_ >= 0) {
        // A connect that failed leaves no row marked as the device.
        linkedRow_ = -1;
        InvalidateRect(Item(IDC_BLE_DEVICE_LIST), nullptr, FALSE);
    }
    const std::wstring text = BleErrorText(event.errorCode, event.detail);
    if (event.errorCode == ErrReadFailed && pollMs_ != 0) {
        SetPanel(text, L"", palette::kDanger);
    } else {
        Box(text, MB_OK | MB_ICONWARNING);
    }
}

void BleDlg::OnDisconnected() {
    linked_ = false;
    linkedRow_ = -1;
    readPending_ = false;
    waitingOnline_ = false;
    SetPollInterval(0);
    SetBusy(false);
    InvalidateRect(Item(IDC_BLE_DEVICE_LIST), nullptr, FALSE);
    SetPanel(Tr(TxtBleHint), L"", palette::kTextSecondary);
}

void BleDlg::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (pollTimerFn_) {
        pollTimerFn_(0);
    } else {
        KillTimer(hwnd(), kPollTimerId);
    }
    pollMs_ = 0;
    if (worker_) worker_->StopWorker();
    // Records already posted would die with the window's queue: free them.
    MSG msg;
    while (PeekMessageW(&msg, hwnd(), WM_BLE_EVENT, WM_BLE_EVENT, PM_REMOVE)) {
        delete reinterpret_cast<BleEvent*>(msg.lParam);
    }
}

void BleDlg::DrawListItem(const DRAWITEMSTRUCT& item) {
    if (item.itemID == static_cast<UINT>(-1) || item.itemID >= foundDevices_.size()) {
        Fill(item.hDC, item.rcItem, palette::kPage);
        return;
    }
    const int row = static_cast<int>(item.itemID);
    BufferedPaint paint(item.hDC, item.rcItem);
    HDC dc = paint.dc();
    const RECT all = paint.local();
    Fill(dc, all, palette::kPage);
    HWND window = item.hwndItem;
    const int inset = Scale(window, 4);
    RECT card{all.left + inset, all.top + inset, all.right - inset, all.bottom - inset};
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const bool marked = selected || row == linkedRow_;
    Card(dc, card, Scale(window, 8), selected ? palette::kBlueRowHover : palette::kWhite,
         marked ? palette::kAccent : palette::kSeparator);
    const int margin = Scale(window, 14);
    const int middle = (card.top + card.bottom) / 2;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(hwnd(), WM_GETFONT, 0, 0));
    const RECT upper{card.left + margin, card.top + Scale(window, 4), card.right - margin, middle};
    const RECT lower{card.left + margin, middle, card.right - margin, card.bottom - Scale(window, 4)};
    Text(dc, font, palette::kTextPrimary, foundDevices_[item.itemID].name, upper, DT_VCENTER);
    // "Connected" only once the worker said so; while connecting the row is
    // outlined but not yet claimed.
    const bool connected = row == linkedRow_ && linked_;
    Text(dc, font, connected ? palette::kSuccess : palette::kTextSecondary,
         connected ? Tr(TxtConnected) : Tr(TxtClickToSelect), lower, DT_VCENTER);
}

void BleDlg::DrawStatusPanel(const DRAWITEMSTRUCT& item) {
    BufferedPaint paint(item.hDC, item.rcItem);
    HDC dc = paint.dc();
    const RECT all = paint.local();
    HWND window = item.hwndItem;
    Fill(dc, all, palette::kPage);
    const RECT card{all.left, all.top + Scale(window, 1), all.right, all.bottom - Scale(window, 1)};
    Card(dc, card, Scale(window, 8), palette::kWhite, palette::kSeparator);
    const int stripLeft = card.left + Scale(window, 14);
    const RECT strip{stripLeft, card.top + Scale(window, 14), stripLeft + Scale(window, 4),
                     card.bottom - Scale(window, 14)};
    Fill(dc, strip, panelColor_);
    const int left = strip.right + Scale(window, 12);
    const int right = card.right - Scale(window, 14);
    const int middle = (card.top + card.bottom) / 2;
    if (!detail_.empty()) {
        Text(dc, headlineFont_, panelColor_, headline_, RECT{left, card.top, right, middle + Scale(window, 2)},
             DT_BOTTOM);
        Text(dc, detailFont_, palette::kTextSecondary, detail_, RECT{left, middle, right, card.bottom}, DT_TOP);
    } else {
        Text(dc, headlineFont_, panelColor_, headline_, RECT{left, card.top, right, card.bottom}, DT_VCENTER);
    }
}

INT_PTR BleDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            switch (id) {
                case IDC_BLE_SCAN:
                    if (code == BN_CLICKED) OnScan();
                    return TRUE;
                case IDC_BLE_CONNECT:
                    if (code == BN_CLICKED) OnConnect();
                    return TRUE;
                case IDC_BLE_SEND_WIFI:
                    if (code == BN_CLICKED) OnSendWifi();
                    return TRUE;
                case IDC_BLE_SEND_IP:
                    if (code == BN_CLICKED) OnSendIp();
                    return TRUE;
                case IDC_BLE_STATIC_IP:
                    if (code == BN_CLICKED) OnStaticIpClicked();
                    return TRUE;
                case IDC_BLE_IP:
                case IDC_BLE_MASK:
                case IDC_BLE_GATEWAY:
                case IDC_BLE_DNS:
                    if (code == EN_CHANGE && !formUpdating_) ipTouched_ = true;
                    return TRUE;
                case IDC_BLE_DEVICE_LIST:
                    if (code == LBN_SELCHANGE) InvalidateRect(Item(IDC_BLE_DEVICE_LIST), nullptr, FALSE);
                    return TRUE;
                case IDOK:
                case IDCANCEL:
                    Shutdown();
                    Close(id);
                    return TRUE;
                default:
                    break;
            }
            break;
        }
        case WM_TIMER:
            if (wParam == kPollTimerId) {
                OnTimer();
                return TRUE;
            }
            break;
        case WM_BLE_EVENT: {
            std::unique_ptr<BleEvent> event(reinterpret_cast<BleEvent*>(lParam));
            if (event && !shutDown_) OnBleEvent(*event);
            return TRUE;
        }
        case WM_MEASUREITEM: {
            auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            if (measure && measure->CtlID == IDC_BLE_DEVICE_LIST) {
                measure->itemHeight = static_cast<UINT>(Scale(hwnd(), 56));
                return SetResult(TRUE);
            }
            break;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item && item->CtlID == IDC_BLE_DEVICE_LIST) {
                DrawListItem(*item);
                return SetResult(TRUE);
            }
            if (item && item->CtlID == IDC_BLE_STATUS_PANEL) {
                DrawStatusPanel(*item);
                return SetResult(TRUE);
            }
            break;
        }
        case WM_CTLCOLORSTATIC: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            if ((id >= IDC_BLE_NEARBY_LABEL && id <= IDC_BLE_NETWORK_LABEL) && pageBrush()) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, palette::kTextSecondary);
                SetBkColor(dc, palette::kPage);
                SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<INT_PTR>(pageBrush());
            }
            break;
        }
        case WM_CTLCOLORLISTBOX:
            if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_BLE_DEVICE_LIST && pageBrush()) {
                SetBkColor(reinterpret_cast<HDC>(wParam), palette::kPage);
                return reinterpret_cast<INT_PTR>(pageBrush());
            }
            break;
        case WM_DESTROY:
            Shutdown();
            if (headlineFont_) DeleteObject(headlineFont_);
            if (detailFont_) DeleteObject(detailFont_);
            headlineFont_ = detailFont_ = nullptr;
            break;
        default:
            break;
    }
    return ThemedDlg::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
