// The switches of quillstone.exe and the mode they choose.
#pragma once
#include <string>
#include <vector>

namespace qs {

struct ModeFlags {
    bool service = false;
    bool install = false;
    bool uninstall = false;
    bool console = false;
    bool quiet = false;
    bool tray = false;
};

enum class HostMode { kService, kInstall, kUninstall, kConsole, kTray };

// Exact, case-sensitive matches; anything else is ignored. args excludes
// the program name.
ModeFlags ParseCommandLine(const std::vector<std::wstring>& args);
// Service beats install/uninstall (install wins over uninstall), which beat
// console; tray is what is left.
HostMode ChooseMode(const ModeFlags& flags);

}  // namespace qs
