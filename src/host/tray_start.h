// The first steps of tray mode: ask the core for its settings and choose
// the UI language from them.
#pragma once
#include <string>

namespace qs {

struct ConfigProbe {
    bool reachable = false;
    std::string language = "auto";
};

// Reads a "config" reply: the core counts as reachable when "ok" is true,
// a non-zero number, or "1"/"true"/"True"; its language is data.language
// when that is a non-empty string.
ConfigProbe ReadConfigReply(const std::string& reply);
// Tray mode: language, common controls, then the tray application until
// its Exit; hidden is the "/tray" switch.
void StartTrayMode(bool hidden);

}  // namespace qs
