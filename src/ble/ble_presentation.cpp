#include "ble/ble_presentation.h"

#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {

StatusLines StatusLinesFor(const ProvisionStatus& status) {
    StatusLines lines;
    switch (status.netStatus) {
        case 1: lines.headline = Tr(TxtNetNotConfigured); break;
        case 2: lines.headline = Tr(TxtNetJoining); break;
        case 3: lines.headline = Tr(TxtNetGotIp); break;
        case 4: lines.headline = Tr(TxtNetOnline); break;
        default: lines.headline = Tr(TxtStatusNotRead); break;
    }
    const wchar_t* link = nullptr;
    switch (status.linkType) {
        case 0: link = Tr(TxtLinkEthernet).c_str(); break;
        case 1: link = Tr(TxtLinkWifi).c_str(); break;
        case 2: link = Tr(TxtLink4G).c_str(); break;
        default: break;
    }
    if (link) lines.headline += std::wstring(L"  \u00B7  ") + link;

    std::wstring mode;
    if (status.ipMode == 0) mode = Tr(TxtIpModeDhcp);
    if (status.ipMode == 1) mode = Tr(TxtIpModeStatic);
    const std::wstring* parts[] = {&status.ssid, &mode, &status.ip};
    for (const std::wstring* part : parts) {
        if (part->empty()) continue;
        if (!lines.detail.empty()) lines.detail += L"    \u00B7    ";
        lines.detail += *part;
    }
    return lines;
}

COLORREF StatusColor(const ProvisionStatus& status) {
    switch (status.netStatus) {
        case 4: return palette::kSuccess;
        case 3: return palette::kAccent;
        case 2: return palette::kAttention;
        default: return palette::kTextSecondary;
    }
}

std::wstring BleErrorText(int errorCode, const std::wstring& detail) {
    switch (errorCode) {
        case ErrNoAdapter: return Tr(TxtBleNoAdapter);
        case ErrDeviceNotFound: return Tr(TxtBleDeviceNotFound);
        case ErrNoSetupService: return Tr(TxtBleNoService);
        case ErrPacketTooSmall: return Tr(TxtBleWriteTooSmall);
        case ErrWriteFailed:
        case ErrReadFailed: return Tr(TxtBleFailed);
        default: return detail.empty() ? Tr(TxtBleFailed) : detail;
    }
}

}  // namespace qs
