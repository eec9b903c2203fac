#include "foundation/secret.h"

#include <gtest/gtest.h>
#include <string>

namespace qs {
namespace {

// Standard Base64 with padding on one line (no regex: the texts are long).
bool IsBase64Line(const std::string& s) {
    if (s.empty() || s.size() % 4 != 0) return false;
    size_t body = s.find_last_not_of('=') + 1;
    if (s.size() - body > 2) return false;
    for (size_t i = 0; i < body; ++i) {
        char c = s[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

TEST(SecretTest, ProtectedCodesReadBackExactly) {
    const std::string codes[] = {
        "123456",
        "\xE9\xAA\x8C\xE8\xAF\x81\xE7\xA0\x81-\xC3\xA9\xF0\x9F\x96\xA8",  // 验证码-é + an astral character
        std::string("a\0b", 3),
        std::string(5000, 'k'),
        "",
    };
    for (const std::string& code : codes) {
        std::string stored;
        ASSERT_TRUE(ProtectSecret(code, stored)) << code.size();
        // One line of standard Base64 with padding, and not the code itself.
        EXPECT_TRUE(IsBase64Line(stored)) << stored;
        if (!code.empty()) {
            EXPECT_EQ(stored.find(code), std::string::npos);
        }
        std::string plain = "previous";
        ASSERT_TRUE(UnprotectSecret(stored, plain)) << code.size();
        EXPECT_EQ(plain, code);
    }
}

TEST(SecretTest, ValuesThatAreNotProtectedBlobsFailAndLeaveTheOutputAlone) {
    std::string good;
    ASSERT_TRUE(ProtectSecret("123456", good));
    std::string tampered = good;
    // Change the blob's last bytes (its integrity hash), keeping valid Base64.
    size_t pos = tampered.find_last_not_of('=') - 2;
    tampered[pos] = tampered[pos] == 'A' ? 'B' : 'A';
    const std::string inputs[] = {
        "",                 // nothing to decode
        "123456",           // a code stored in plain text: decodes, but is no blob
        "not base64 at all!!",
        "QUJD",             // valid Base64 of "ABC"
        good.substr(0, good.size() / 2),
        tampered,
    };
    for (const std::string& input : inputs) {
        std::string out = "untouched";
        EXPECT_FALSE(UnprotectSecret(input, out)) << input;
        EXPECT_EQ(out, "untouched") << input;
    }
}

TEST(SecretTest, EachProtectionIsFreshButAllReadBack) {
    std::string a;
    std::string b;
    ASSERT_TRUE(ProtectSecret("same code", a));
    ASSERT_TRUE(ProtectSecret("same code", b));
    EXPECT_NE(a, b);
    std::string pa;
    std::string pb;
    ASSERT_TRUE(UnprotectSecret(a, pa));
    ASSERT_TRUE(UnprotectSecret(b, pb));
    EXPECT_EQ(pa, "same code");
    EXPECT_EQ(pb, "same code");
}

}  // namespace
}  // namespace qs
