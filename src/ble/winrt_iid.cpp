#include "ble/winrt_iid.h"

#include <cstdio>

namespace qs {

namespace {

uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The namespace the runtime hashes signatures in.
const unsigned char kWinRtNamespace[16] = {0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                                           0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee};

}  // namespace

std::string Sha1(const std::string& bytes) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string message = bytes;
    const uint64_t bitLength = static_cast<uint64_t>(bytes.size()) * 8;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) message.push_back('\0');
    for (int i = 7; i >= 0; --i) message.push_back(static_cast<char>((bitLength >> (i * 8)) & 0xFF));
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(message.data() + block + i * 4);
            w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const uint32_t t = Rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rotl(b, 30);
            b = a;
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::string digest;
    for (uint32_t word : h) {
        for (int i = 3; i >= 0; --i) digest.push_back(static_cast<char>((word >> (i * 8)) & 0xFF));
    }
    return digest;
}

std::string GuidSignatureText(const GUID& g) {
    char text[40];
    snprintf(text, sizeof(text), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

GUID ParameterizedIid(const std::string& signature) {
    std::string input(reinterpret_cast<const char*>(kWinRtNamespace), sizeof(kWinRtNamespace));
    input += signature;
    const std::string hash = Sha1(input);
    unsigned char b[16];
    for (int i = 0; i < 16; ++i) b[i] = static_cast<unsigned char>(hash[i]);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x50);  // version 5
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    GUID g{};
    g.Data1 = (static_cast<unsigned long>(b[0]) << 24) | (static_cast<unsigned long>(b[1]) << 16) |
              (static_cast<unsigned long>(b[2]) << 8) | b[3];
    g.Data2 = static_cast<unsigned short>((b[4] << 8) | b[5]);
    g.Data3 = static_cast<unsigned short>((b[6] << 8) | b[7]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = b[8 + i];
    return g;
}

}  // namespace qs
