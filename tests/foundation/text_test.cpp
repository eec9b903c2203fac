#include "foundation/text.h"

#include <gtest/gtest.h>
#include <cinttypes>
#include <cstdint>

namespace qs {
namespace {

TEST(TextTest, Utf8AndWideRoundTripIncludingAstralCharacters) {
    // "核心" + U+1F5A8 (printer, a surrogate pair in UTF-16) + "a".
    const std::string utf8 = "\xE6\xA0\xB8\xE5\xBF\x83\xF0\x9F\x96\xA8" "a";
    const std::wstring wide = L"\u6838\u5FC3\xD83D\xDDA8" L"a";
    EXPECT_EQ(Utf8ToWide(utf8), wide);
    EXPECT_EQ(WideToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextTest, ConversionKeepsEmbeddedNulAndReplacesInvalidBytes) {
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    // A lone continuation byte becomes U+FFFD instead of being dropped.
    EXPECT_EQ(Utf8ToWide("x\x80y"), L"x\uFFFDy");
}

TEST(TextTest, FormatProducesExactLengthForShortAndLongTexts) {
    EXPECT_EQ(Format("%s=%d", "port", 39100), "port=39100");
    EXPECT_EQ(Format("%s", ""), "");
    int64_t big = INT64_C(-9007199254740993);
    EXPECT_EQ(Format("%" PRId64 "|%lld", big, 123456789012LL), "-9007199254740993|123456789012");
    std::string longText(5000, 'q');
    std::string out = Format("<%s>", longText.c_str());
    ASSERT_EQ(out.size(), 5002u);
    EXPECT_EQ(out, "<" + longText + ">");
}

TEST(TextTest, FormatWideGrowsPastItsFirstBuffer) {
    EXPECT_EQ(FormatWide(L"%ls %lu.%lu", L"Windows", 10ul, 0ul), L"Windows 10.0");
    std::wstring longText(3000, L'w');
    std::wstring out = FormatWide(L"[%ls]%d", longText.c_str(), 7);
    EXPECT_EQ(out, L"[" + longText + L"]7");
}

TEST(TextTest, Md5MatchesKnownDigests) {
    struct Case {
        std::string input;
        const char* digest;
    };
    // Lengths 55, 56 and 64 sit on the padding boundaries where an extra
    // block must (or must not) be added.
    const Case cases[] = {
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"The quick brown fox jumps over the lazy dog", "9E107D9D372BB6826BD81D3542A419D6"},
        {std::string(55, 'a'), "EF1772B6DFF9A122358552954AD0DF65"},
        {std::string(56, 'a'), "3B0C8AC703F828B04C6C197006D17218"},
        {std::string(64, 'a'), "014842D480B571495A4A0363793F7367"},
        {std::string("\0\xff", 2), "D07D34EFAC6328007AD67C7E0A985E00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Md5Hex(c.input), c.digest) << "input length " << c.input.size();
    }
    // Many blocks with every byte value below 251, so a sign or carry slip shows.
    std::string ramp;
    for (int i = 0; i < 1000; ++i) ramp.push_back(static_cast<char>(i % 251));
    EXPECT_EQ(Md5Hex(ramp), "A24F1E3EF66950E1327F210E3997BA2C");
}

}  // namespace
}  // namespace qs
