#include "ipc/ipc_protocol.h"

#include <cJSON.h>

namespace qs {

std::string IpcErrorReply(const std::string& text) {
    std::string reply;
    cJSON* root = cJSON_CreateObject();
    if (root && cJSON_AddFalseToObject(root, "ok") &&
        cJSON_AddStringToObject(root, "error", text.c_str())) {
        if (char* printed = cJSON_PrintUnformatted(root)) {
            reply = printed;
            cJSON_free(printed);
        }
    }
    cJSON_Delete(root);
    // Callers rely on a reply that is never empty; the texts need no escaping.
    if (reply.empty()) reply = "{\"ok\":false,\"error\":\"" + text + "\"}";
    return reply;
}

}  // namespace qs
