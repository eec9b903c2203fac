#include "foundation/ids.h"

#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <cstdint>

#include "foundation/text.h"
#include "foundation/time_util.h"

namespace qs {

std::string NewId() {
    GUID g;
    if (FAILED(CoCreateGuid(&g))) return RandomHex(16);
    return Format("%08lx%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
}

std::string RandomHex(int n) {
    // The call counter keeps two calls within the same millisecond (or on two
    // threads at once) from starting at the same seed.
    static std::atomic<uint32_t> calls{0};
    uint32_t vary = (calls.fetch_add(1) + 1) * 0x9E3779B9u ^ (GetCurrentThreadId() << 16);
    uint32_t s = static_cast<uint32_t>(NowEpochMs()) ^ vary;
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    if (n <= 0) return out;
    out.reserve(static_cast<size_t>(n) * 2);
    for (int i = 0; i < n; ++i) {
        uint32_t s1 = s * 1103515245u + 12345u;
        uint32_t s2 = s1 * 1103515245u + 12345u;
        unsigned b = ((s2 >> 16) ^ (s1 >> 16)) & 0xFF;
        s = s2;
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    return out;
}

}  // namespace qs
