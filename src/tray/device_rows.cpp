#include "tray/device_rows.h"

#include <windows.h>

#include <utility>

#include "foundation/text.h"
#include "ui/core_request.h"

namespace qs {

PillChoice NetworkPillFor(const std::string& network) {
    // The core writes these words itself; anything it may add later (and
    // "在线") is a cloud connection.
    if (network == "Lan") return {kNetworkLan, TxtNetLan};
    if (network == "离线" || network == "offline") return {kNetworkOffline, TxtNetOffline};
    return {kNetworkCloud, TxtNetCloud};
}

PillChoice StatusPillFor(int code) {
    switch (code) {
        case 0: return {kStatusNormal, TxtStatusNormal};
        case 101: return {kStatusAttention, TxtStatusPaperOut};
        case 102: return {kStatusAttention, TxtStatusCoverOpen};
        case 107: return {kStatusOffline, TxtStatusOffline};
        case 109: return {kStatusOffline, TxtStatusNoPrinter};
        default: return {kStatusUnknown, TxtStatusUnknown};
    }
}

DeviceRow DeviceRowFromJson(const cJSON* device) {
    // The readers give their defaults for a missing member and for an
    // element that is no object, so a malformed entry still makes a row.
    DeviceRow row;
    row.snUtf8 = JsonString(device, "sn");
    row.sn = Utf8ToWide(row.snUtf8);

    const std::string name = JsonString(device, "devname");
    row.name = name.empty() ? row.sn : Utf8ToWide(name);

    const std::string model = JsonString(device, "model");
    row.typeText = model.empty() ? Tr(TxtCloudPrinter) : Utf8ToWide(model);

    const PillChoice network = NetworkPillFor(JsonString(device, "network"));
    row.networkState = network.state;
    row.networkText = Tr(network.text);

    const int port = JsonInt(device, "port", 0);
    if (port >= 1) row.portText = L"Quillnet" + std::to_wstring(port);

    const std::string printer = JsonString(device, "printer");
    row.bound = !printer.empty();
    row.printerText = row.bound ? Utf8ToWide(printer) : Tr(TxtNotBound);

    const PillChoice status = StatusPillFor(JsonInt(device, "status", -1));
    row.statusState = status.state;
    row.statusText = Tr(status.text);
    return row;
}

std::vector<DeviceRow> RowsFromListReply(const cJSON* reply) {
    std::vector<DeviceRow> rows;
    if (!JsonFlag(reply, "ok", false)) return rows;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(reply, "data");
    if (!cJSON_IsArray(data)) return rows;
    const cJSON* device = nullptr;
    cJSON_ArrayForEach(device, data) rows.push_back(DeviceRowFromJson(device));
    return rows;
}

std::vector<DeviceRow> RowsFromListReplyText(const std::string& replyText) {
    JsonPtr reply(cJSON_ParseWithLength(replyText.data(), replyText.size()));
    return RowsFromListReply(reply.get());
}

std::vector<DeviceRow> DemoRows() {
    std::vector<DeviceRow> rows(2);

    DeviceRow& front = rows[0];
    front.snUtf8 = "DEMO00000001";
    front.sn = L"DEMO00000001";
    front.name = L"前台小票机";
    front.typeText = Tr(TxtCloudPrinter);
    front.networkState = kNetworkCloud;
    front.networkText = Tr(TxtNetCloud);
    front.portText = L"Quillnet39100";
    front.printerText = L"Quillnet-DEMO00000001";
    front.bound = true;
    front.statusState = kStatusNormal;
    front.statusText = Tr(TxtStatusNormal);
    front.demo = true;

    DeviceRow& store = rows[1];
    store.snUtf8 = "DEMO00000002";
    store.sn = L"DEMO00000002";
    store.name = L"仓库标签机";
    store.typeText = Tr(TxtCloudPrinter);
    store.networkState = kNetworkLan;
    store.networkText = Tr(TxtNetLan);
    store.portText = L"Quillnet39101";
    store.printerText = Tr(TxtNotBound);
    store.bound = false;
    store.statusState = kStatusAttention;
    store.statusText = Tr(TxtStatusPaperOut);
    store.demo = true;
    return rows;
}

bool DemoRowsRequested() {
    // An empty value also counts: only "not defined" turns the rows off,
    // and GetEnvironmentVariableW returns 0 for both.
    wchar_t value[2];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", value, 2);
    return length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::vector<DeviceRow> RowsToShow(std::vector<DeviceRow> realRows, bool demoRequested) {
    if (realRows.empty() && demoRequested) return DemoRows();
    return realRows;
}

}  // namespace qs
