#include "host/command_line.h"

namespace qs {

ModeFlags ParseCommandLine(const std::vector<std::wstring>& args) {
    ModeFlags f;
    for (const std::wstring& a : args) {
        if (a == L"/service") f.service = true;
        else if (a == L"/install") f.install = true;
        else if (a == L"/uninstall") f.uninstall = true;
        else if (a == L"/quiet") f.quiet = true;
        else if (a == L"/console") f.console = true;
        else if (a == L"/tray") f.tray = true;
    }
    return f;
}

HostMode ChooseMode(const ModeFlags& f) {
    if (f.service) return HostMode::kService;
    if (f.install) return HostMode::kInstall;
    if (f.uninstall) return HostMode::kUninstall;
    if (f.console) return HostMode::kConsole;
    return HostMode::kTray;
}

}  // namespace qs
