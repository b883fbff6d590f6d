// SPDX-License-Identifier: MIT
#include "CliFormat.h"

#include <gtest/gtest.h>

using namespace ZEMBCli;

namespace {

// The bytes the text gives, or why it is refused: a refusal and only a refusal says why.
std::pair<std::vector<std::uint8_t>, std::string> Hex(const std::string& text) {
    std::pair<std::vector<std::uint8_t>, std::string> read;
    const bool parsed = ParseHexBytes(text, read.first, read.second);
    EXPECT_EQ(parsed, read.second.empty()) << text;
    return read;
}

} // namespace

TEST(CliFormat, HexBytesInEveryWrittenFormAndLowerCasePairsOut) {
    const std::vector<std::uint8_t> expected{0x10, 0x20, 0xFF};
    for (const char* text : {"10 20 ff", "1020FF", "0x10,0x20,0xff", "10:20:FF", "10-20-ff",
                             "  10\t20  ff  ", "0X10 0x20FF"})
        EXPECT_EQ(Hex(text).first, expected) << text;
    EXPECT_EQ(Hex("00").first, std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(FormatHex(std::vector<std::uint8_t>{0x00, 0x0A, 0xFF}), "00 0a ff");
    EXPECT_EQ(FormatHex({}), "");
}

TEST(CliFormat, HexMistakesAreRefusedWithTheReason) {
    EXPECT_EQ(Hex("").second, "no bytes given");
    EXPECT_EQ(Hex(" , ").second, "no bytes given");
    EXPECT_EQ(Hex("102").second, "odd number of hex digits in \"102\"");
    EXPECT_EQ(Hex("10 2").second, "odd number of hex digits in \"2\"");
    EXPECT_EQ(Hex("10 zz").second, "not a hex digit at position 4: 'z'");
    EXPECT_EQ(Hex("0x").second, "\"0x\" without hex digits at position 1");
    EXPECT_EQ(Hex("0x 10").second, "\"0x\" without hex digits at position 1");
}

TEST(CliFormat, EnumerationsByIdentifierShortNameOrNumber) {
    using TParse = std::optional<std::uint8_t> (*)(std::string_view);
    const std::optional<std::uint8_t> none;
    // Only the lower-case prefix comes off: a part of the name ("tFenwy") is not the name.
    // clang-format off
    const std::tuple<TParse, const char*, std::optional<std::uint8_t>> cases[] = {
        {ParseDevType, "dtFenwy", 3}, {ParseDevType, "FENWY", 3}, {ParseDevType, "notrecognized", 0},
        {ParseDevType, "4", 4}, {ParseDevType, "255", 255}, {ParseDevType, "256", none},
        {ParseDevType, "-1", none}, {ParseDevType, "3x", none}, {ParseDevType, "", none},
        {ParseDevType, "tFenwy", none}, {ParseDevMode, "shared", 1}, {ParseDevMode, "cmExclusive", 0},
        {ParseDevMode, "open", none}, {ParseClientAppType, "corra", 4},
        {ParseClientAppType, "aciBase", 1}, {ParseClientAppType, "ACIDOSTRA", 3},
        {ParseClientAppType, "ciBase", none}};
    // clang-format on
    for (const auto& [parse, text, value] : cases)
        EXPECT_EQ(parse(text), value) << text;
}

TEST(CliFormat, JsonKeepsOrderAndEscapesEveryText) {
    TJson json = TJson::Object();
    json.Set("b", 2);
    json.Set("a", true);
    json.Set("text", "quote \" backslash \\ tab \t line \n bell \x07");
    TJson& list = json.Set("list", TJson::Array());
    list.Add(-1);
    list.Add(TJson());
    EXPECT_EQ(json.Text(), "{\"b\":2,\"a\":true,\"text\":\"quote \\\" backslash \\\\ tab \\t line "
                           "\\n bell \\u0007\",\"list\":[-1,null]}");
}

TEST(CliFormat, JsonTextStaysValidForAnyEightBitText) {
    // Well-formed UTF-8 passes; a lone Latin-1 byte becomes its escape.
    EXPECT_EQ(JsonQuote("Gr\xc3\xbc\xc3\x9f"), "\"Gr\xc3\xbc\xc3\x9f\"");
    EXPECT_EQ(JsonQuote("Gr\xfc\xdf"), "\"Gr\\u00fc\\u00df\"");
    // Overlong forms and surrogates are not text either.
    EXPECT_EQ(JsonQuote("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(JsonQuote("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(JsonQuote("\xe2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(JsonQuote(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // Every control character but the three common ones, and DEL, as a \u escape.
    EXPECT_EQ(JsonQuote("\b\f\x7f"), "\"\\u0008\\u000c\\u007f\"");
}
