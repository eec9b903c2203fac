// What a test reads back from the process-wide logger's recent lines.
#pragma once
#include <cstddef>
#include <string>

#include "foundation/logger.h"

namespace qs::test {

inline size_t CountLogged(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : Logger::Instance().RecentLines(0))
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

inline bool Logged(const std::string& text) { return CountLogged(text) > 0; }

}  // namespace qs::test
