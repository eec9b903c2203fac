#include "host/tray_start.h"

#include <windows.h>
#include <commctrl.h>

#include <cJSON.h>

#include "ipc/ipc_client.h"
#include "tray/tray_app.h"
#include "ui/ui_text.h"

namespace qs {

ConfigProbe ReadConfigReply(const std::string& reply) {
    ConfigProbe probe;
    cJSON* root = cJSON_ParseWithLength(reply.data(), reply.size());
    if (!root) return probe;
    const cJSON* ok = cJSON_GetObjectItemCaseSensitive(root, "ok");
    if (cJSON_IsTrue(ok)) {
        probe.reachable = true;
    } else if (cJSON_IsNumber(ok)) {
        probe.reachable = ok->valuedouble != 0;
    } else if (cJSON_IsString(ok)) {
        std::string s = ok->valuestring;
        probe.reachable = s == "1" || s == "true" || s == "True";
    }
    if (probe.reachable) {
        const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
        const cJSON* lang = cJSON_GetObjectItemCaseSensitive(data, "language");
        if (cJSON_IsString(lang) && lang->valuestring[0] != '\0') probe.language = lang->valuestring;
    }
    cJSON_Delete(root);
    return probe;
}

void StartTrayMode(bool hidden) {
    ConfigProbe probe = ReadConfigReply(IpcRequest("{\"cmd\":\"config\"}", 3000));
    SetUiLanguage(probe.language);
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof(icc);
    icc.dwICC = 0xFF;
    InitCommonControlsEx(&icc);
    RunTrayApplication(hidden, probe.reachable);
}

}  // namespace qs
