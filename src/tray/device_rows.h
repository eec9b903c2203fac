// What the main window's device list shows, decided without any window: the
// core's `list` reply turned into rows, and the demonstration rows.
#pragma once
#include <cJSON.h>

#include <string>
#include <vector>

#include "ui/ui_text.h"

namespace qs {

// Network pill states.
enum NetworkState : int { kNetworkLan = 0, kNetworkCloud = 1, kNetworkOffline = 2 };
// Status pill states (2 is not used).
enum StatusState : int {
    kStatusNormal = 0,
    kStatusAttention = 1,
    kStatusOffline = 3,
    kStatusUnknown = 4,
};

// One card of the list, with every text already in the UI language of the
// moment it was built (a language switch rebuilds the rows).
struct DeviceRow {
    std::wstring name;         // device name, or the serial number without one
    std::wstring typeText;     // model, or "cloud printer"
    std::wstring sn;
    std::wstring networkText;
    int networkState = kNetworkCloud;
    std::wstring statusText;
    int statusState = kStatusUnknown;
    std::wstring portText;     // "Quillnet<port>", empty without a port
    std::wstring printerText;  // bound queue, or "not bound"
    bool bound = false;
    std::string snUtf8;        // the serial number as requests carry it
    bool demo = false;         // one of the QSTN_DEMO_DEVICES rows
};

struct PillChoice {
    int state;
    TextId text;
};
// The core's `network` text: exactly "Lan" is LAN, "离线"/"offline" offline,
// anything else (also "", "lan", "在线") the cloud.
PillChoice NetworkPillFor(const std::string& network);
// The core's status code: 0, 101, 102, 107, 109; anything else is unknown.
PillChoice StatusPillFor(int code);

// One device object of a `list` reply; missing members (or an element that is
// not an object at all) take their defaults.
DeviceRow DeviceRowFromJson(const cJSON* device);
// The rows of a whole reply, in its order: none unless `ok` is true and
// `data` is an array.
std::vector<DeviceRow> RowsFromListReply(const cJSON* reply);
// The same from the reply's text; text that does not parse gives no rows.
std::vector<DeviceRow> RowsFromListReplyText(const std::string& replyText);

// The two demonstration rows.
std::vector<DeviceRow> DemoRows();
// Whether QSTN_DEMO_DEVICES is defined (any value, also empty).
bool DemoRowsRequested();
// The rows to show: the real ones, or the demonstration rows when there are
// none and they were asked for.
std::vector<DeviceRow> RowsToShow(std::vector<DeviceRow> realRows, bool demoRequested);

}  // namespace qs
