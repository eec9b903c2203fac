#include "host/install_mode.h"

#include <windows.h>

#include "foundation/text.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace qs {

int RunInstallMode(bool install, bool quiet, const ServiceOperation& operation) {
    std::string error;
    bool ok = operation(error);
    std::wstring text = Tr(install ? TxtInstallingService : TxtServiceRemoved);
    if (!ok && !error.empty()) text = Utf8ToWide(error);
    if (!ok || !quiet)
        ShowMessageBox(nullptr, text, Tr(TxtAppName), MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
    return ok ? 0 : 1;
}

}  // namespace qs
