#include "foundation/text.h"

#include <windows.h>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace qs {

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    if (n <= 0) return std::wstring();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    if (n <= 0) return std::string();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list probe;
    va_copy(probe, args);
    int n = std::vsnprintf(nullptr, 0, fmt, probe);
    va_end(probe);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        int written = std::vsnprintf(out.data(), out.size(), fmt, args);
        if (written == n) {
            out.resize(static_cast<size_t>(n));
        } else {
            out.clear();
        }
    }
    va_end(args);
    return out;
}

std::wstring FormatWide(const wchar_t* fmt, ...) {
    // The wide printf family cannot report the needed length, so the buffer
    // grows until the text fits; the cap ends the loop for formats that fail
    // for another reason (an encoding error).
    constexpr size_t kMaxChars = size_t{1} << 24;
    std::vector<wchar_t> buffer(256);
    while (true) {
        va_list args;
        va_start(args, fmt);
        int n = std::vswprintf(buffer.data(), buffer.size(), fmt, args);
        va_end(args);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<size_t>(n));
        }
        if (buffer.size() >= kMaxChars) return std::wstring();
        buffer.resize(buffer.size() * 4);
    }
}

namespace {

// MD5 as RFC 1321 defines it.
class Md5 {
public:
    void Update(const unsigned char* data, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            block_[blockLen_++] = data[i];
            if (blockLen_ == 64) {
                Transform(block_);
                blockLen_ = 0;
            }
        }
        bitLen_ += static_cast<uint64_t>(len) * 8;
    }

    void Finish(unsigned char digest[16]) {
        uint64_t bits = bitLen_;
        unsigned char pad = 0x80;
        Update(&pad, 1);
        unsigned char zero = 0;
        while (blockLen_ != 56) Update(&zero, 1);
        unsigned char lenBytes[8];
        for (int i = 0; i < 8; ++i) lenBytes[i] = static_cast<unsigned char>(bits >> (8 * i));
        Update(lenBytes, 8);
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<unsigned char>(state_[i] >> (8 * j));
        }
    }

private:
    static uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

    void Transform(const unsigned char* block) {
        static const uint32_t K[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static const int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
                   (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
                   (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
        }
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = d;
            d = c;
            c = b;
            b = b + Rotl(a + f + K[i] + m[g], S[i]);
            a = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    unsigned char block_[64] = {};
    size_t blockLen_ = 0;
    uint64_t bitLen_ = 0;
};

}  // namespace

std::string Md5Hex(const std::string& bytes) {
    Md5 md5;
    md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    unsigned char digest[16];
    md5.Finish(digest);
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(32);
    for (unsigned char b : digest) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    return out;
}

std::string ReplaceControlChars(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        const unsigned char third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
            out += '?';
            i += 1;
        } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {  // U+2028, U+2029
            out += '?';
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace qs
