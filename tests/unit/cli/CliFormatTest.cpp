// SPDX-License-Identifier: MIT
#include "CliFormat.h"

#include <gtest/gtest.h>

using namespace ZEMBCli;

namespace {

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(ParseHexBytes(text, bytes, error)) << text << ": " << error;
    return bytes;
}

std::string HexError(const std::string& text) {
    std::vector<std::uint8_t> bytes{0x99};
    std::string error;
    EXPECT_FALSE(ParseHexBytes(text, bytes, error)) << text;
    return error;
}

} // namespace

TEST(CliFormat, HexBytesInEveryWrittenForm) {
    const std::vector<std::uint8_t> expected{0x10, 0x20, 0xFF};
    for (const char* text : {"10 20 ff", "1020FF", "0x10,0x20,0xff", "10:20:FF", "10-20-ff",
                             "  10\t20  ff  ", "0X10 0x20FF"})
        EXPECT_EQ(Hex(text), expected) << text;
    EXPECT_EQ(Hex("00"), std::vector<std::uint8_t>{0x00});
}

TEST(CliFormat, HexMistakesAreRefusedWithTheReason) {
    EXPECT_EQ(HexError(""), "no bytes given");
    EXPECT_EQ(HexError(" , "), "no bytes given");
    EXPECT_EQ(HexError("102"), "odd number of hex digits in \"102\"");
    EXPECT_EQ(HexError("10 2"), "odd number of hex digits in \"2\"");
    EXPECT_EQ(HexError("10 zz"), "not a hex digit at position 4: 'z'");
    EXPECT_EQ(HexError("0x"), "\"0x\" without hex digits at position 1");
    EXPECT_EQ(HexError("0x 10"), "\"0x\" without hex digits at position 1");
}

TEST(CliFormat, HexOutputIsLowerCasePairs) {
    const std::vector<std::uint8_t> bytes{0x00, 0x0A, 0xFF};
    EXPECT_EQ(FormatHex(bytes), "00 0a ff");
    EXPECT_EQ(FormatHex({}), "");
}

TEST(CliFormat, EnumerationsByIdentifierShortNameOrNumber) {
    EXPECT_EQ(ParseDevType("dtFenwy"), 3);
    EXPECT_EQ(ParseDevType("FENWY"), 3);
    EXPECT_EQ(ParseDevType("notrecognized"), 0);
    EXPECT_EQ(ParseDevType("4"), 4);
    EXPECT_EQ(ParseDevType("255"), 255);
    EXPECT_EQ(ParseDevType("256"), std::nullopt);
    EXPECT_EQ(ParseDevType("-1"), std::nullopt);
    EXPECT_EQ(ParseDevType("3x"), std::nullopt);
    EXPECT_EQ(ParseDevType(""), std::nullopt);
    EXPECT_EQ(ParseDevMode("shared"), 1);
    EXPECT_EQ(ParseDevMode("cmExclusive"), 0);
    EXPECT_EQ(ParseDevMode("open"), std::nullopt);
    EXPECT_EQ(ParseClientAppType("corra"), 4);
    EXPECT_EQ(ParseClientAppType("aciBase"), 1);
    EXPECT_EQ(ParseClientAppType("ACIDOSTRA"), 3);
    // Only the lower-case prefix comes off: a part of the name is not the name.
    EXPECT_EQ(ParseDevType("tFenwy"), std::nullopt);
    EXPECT_EQ(ParseClientAppType("ciBase"), std::nullopt);
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
