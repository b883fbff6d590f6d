// SPDX-License-Identifier: MIT
#include "base/ProfileFile.h"

#include "TempFolder.h"

#include <gmock/gmock.h>

TEST(ProfileIntegerTest, ReadsDecimalAndBothHexPrefixes) {
    // clang-format off
    const std::pair<const char*, std::int32_t> cases[] = {
        {"42", 42}, {"-7", -7}, {"+3", 3}, {"0x1F", 31}, {"0X1f", 31}, {"$ff", 255},
        {"$FFFFFFFF", -1}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    // clang-format on
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ParseProfileInteger(text), value) << text;
}

TEST(ProfileIntegerTest, JunkOverflowAndEmptyGiveNone) {
    for (const char* junk : {"", "yes", "1x", "12 ", "0x", "$", "-", "1.5", "2147483648",
                             "-2147483649", "0x100000000", "0xG"})
        EXPECT_FALSE(ParseProfileInteger(junk).has_value()) << junk;
}

TEST(ProfileTextTest, NamesMatchWithoutCaseValuesTrimmedAndUnquotedCommentsSkipped) {
    TProfileText text(
        "[general]\r\n  enableEEPwrite =  1  \r\nName=\"  quoted \"\r\n"
        "[Other]\r\n; a=1\r\n# b=2\r\nnot a key\r\nkey=second\r\n[GENERAL]\r\nlate=ignored\r\n");
    // The first section of a name wins.
    using V = std::optional<std::string>;
    EXPECT_EQ(std::tuple(text.Value("General", "EnableEEPWrite"), text.Value("GENERAL", "name"),
                         text.Value("other", "KEY"), text.Value("General", "late"),
                         text.Value("Missing", "key")),
              std::tuple(V("1"), V("  quoted "), V("second"), V(), V()));
    EXPECT_EQ(text.Sections(), (std::vector<std::string>{"general", "Other"}));
    EXPECT_EQ(text.Keys("General"), (std::vector<std::string>{"enableEEPwrite", "Name"}));
    // Comments and lines without '=' are not keys.
    EXPECT_EQ(text.Keys("Other"), (std::vector<std::string>{"key"}));
}

namespace {
// A file of the given text in a folder of the test's own.
class ProfileFileTest : public ::testing::Test {
protected:
    TProfileFile File(const std::string& name, const char* text = nullptr) {
        if (text)
            folder.Write(name, text);
        return TProfileFile(folder.File(name));
    }
    TTempFolder folder;
};
} // namespace

TEST_F(ProfileFileTest, WritingOneKeyKeepsEveryOtherLine) {
    TProfileFile file = File("FENWY.INI", "; operator notes\r\n[General]\r\nEnableEEPWrite=0\r\n"
                                          "  odd line  \r\n\r\n[Other]\r\nx = 5\r\n");

    file.WriteString("general", "enableeepwrite", "1");
    EXPECT_EQ(folder.Read("FENWY.INI"), "; operator notes\r\n[General]\r\nenableeepwrite=1\r\n"
                                        "  odd line  \r\n\r\n[Other]\r\nx = 5\r\n");

    file.WriteInteger("Other", "y", 7);
    EXPECT_EQ(folder.Read("FENWY.INI"), "; operator notes\r\n[General]\r\nenableeepwrite=1\r\n"
                                        "  odd line  \r\n\r\n[Other]\r\nx = 5\r\ny=7\r\n");

    file.WriteBool("New", "Flag", true);
    EXPECT_TRUE(file.ReadBool("new", "flag", false));
    EXPECT_EQ(file.ReadSections(), (std::vector<std::string>{"General", "Other", "New"}));
}

TEST_F(ProfileFileTest, IntegersAndBooleansFallBackToTheirDefaults) {
    TProfileFile file = File("a.ini", "[S]\nword=yes\nhex=$10\nnum=2\nempty=\n");
    EXPECT_EQ(std::pair(file.ReadInteger("S", "word", -5), file.ReadInteger("S", "hex", 0)),
              std::pair(-5, 16));
    EXPECT_EQ(std::tuple(file.ReadBool("S", "num", false), file.ReadBool("S", "word", true),
                         file.ReadBool("S", "word", false)),
              std::tuple(true, true, false));
    EXPECT_EQ(std::pair(file.ReadString("S", "empty", "default"),
                        file.ReadString("S", "absent", "default")),
              std::pair(std::string(), std::string("default")));
}

TEST_F(ProfileFileTest, UnwritableFileRaisesWithItsPath) {
    TProfileFile file = File("no/such/folder/x.ini");
    EXPECT_THAT([&] { file.WriteString("S", "k", "v"); },
                ::testing::ThrowsMessage<EProfileFileError>("Unable to write to " +
                                                            folder.File("no/such/folder/x.ini")));
}

TEST_F(ProfileFileTest, EraseSectionAndDeleteKeyRemoveOnlyTheirLines) {
    TProfileFile file = File("a.ini", "[A]\nk=1\nj=2\n[B]\nk=3\n");
    file.DeleteKey("a", "K");
    EXPECT_EQ(folder.Read("a.ini"), "[A]\nj=2\n[B]\nk=3\n");
    file.EraseSection("A");
    EXPECT_EQ(std::pair(folder.Read("a.ini"), file.SectionExists("A")),
              std::pair(std::string("[B]\nk=3\n"), false));
}
