// SPDX-License-Identifier: MIT
#include "base/ProfileFile.h"

#include "TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(ProfileTextTest, NamesMatchWithoutCaseValuesTrimmedAndUnquoted) {
    TProfileText text("[general]\r\n  enableEEPwrite =  1  \r\nName=\"  quoted \"\r\n"
                      "[Other]\r\nkey=second\r\n[GENERAL]\r\nlate=ignored\r\n");
    EXPECT_EQ(text.Value("General", "EnableEEPWrite"), "1");
    EXPECT_EQ(text.Value("GENERAL", "name"), "  quoted ");
    EXPECT_EQ(text.Value("other", "KEY"), "second");
    EXPECT_FALSE(text.Value("General", "late").has_value()) << "the first section of a name wins";
    EXPECT_FALSE(text.Value("Missing", "key").has_value());
    EXPECT_EQ(text.Sections(), (std::vector<std::string>{"general", "Other"}));
    EXPECT_EQ(text.Keys("General"), (std::vector<std::string>{"enableEEPwrite", "Name"}));
}

TEST(ProfileTextTest, CommentsAndLinesWithoutEqualsAreNotKeys) {
    TProfileText text("[S]\n; a=1\n# b=2\nnot a key\nc=3\n");
    EXPECT_EQ(text.Keys("S"), (std::vector<std::string>{"c"}));
}

TEST(ProfileFileTest, WritingOneKeyKeepsEveryOtherLine) {
    TTempFolder folder;
    const std::string original = "; operator notes\r\n[General]\r\nEnableEEPWrite=0\r\n"
                                 "  odd line  \r\n\r\n[Other]\r\nx = 5\r\n";
    folder.Write("FENWY.INI", original);
    TProfileFile file(folder.File("FENWY.INI"));

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

TEST(ProfileFileTest, IntegersAndBooleansFallBackToTheirDefaults) {
    TTempFolder folder;
    folder.Write("a.ini", "[S]\nword=yes\nhex=$10\nnum=2\nempty=\n");
    TProfileFile file(folder.File("a.ini"));
    EXPECT_EQ(file.ReadInteger("S", "word", -5), -5);
    EXPECT_EQ(file.ReadInteger("S", "hex", 0), 16);
    EXPECT_TRUE(file.ReadBool("S", "num", false));
    EXPECT_TRUE(file.ReadBool("S", "word", true));
    EXPECT_FALSE(file.ReadBool("S", "word", false));
    EXPECT_EQ(file.ReadString("S", "empty", "default"), "");
    EXPECT_EQ(file.ReadString("S", "absent", "default"), "default");
}

TEST(ProfileFileTest, MissingFileReadsAsDefaultsAndWriteCreatesIt) {
    TTempFolder folder;
    TProfileFile file(folder.File("new.ini"));
    EXPECT_FALSE(file.SectionExists("General"));
    EXPECT_EQ(file.ReadInteger("General", "x", 9), 9);
    file.WriteBool("General", "EnableSharedAccess", true);
    EXPECT_EQ(folder.Read("new.ini"), "[General]\nEnableSharedAccess=1\n");
}

TEST(ProfileFileTest, UnwritableFileRaisesWithItsPath) {
    TTempFolder folder;
    TProfileFile file(folder.File("no/such/folder/x.ini"));
    try {
        file.WriteString("S", "k", "v");
        FAIL() << "write into a missing folder succeeded";
    } catch (const EProfileFileError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Unable to write to " + folder.File("no/such/folder/x.ini"));
    }
}

TEST(ProfileFileTest, EraseSectionAndDeleteKeyRemoveOnlyTheirLines) {
    TTempFolder folder;
    folder.Write("a.ini", "[A]\nk=1\nj=2\n[B]\nk=3\n");
    TProfileFile file(folder.File("a.ini"));
    file.DeleteKey("a", "K");
    EXPECT_EQ(folder.Read("a.ini"), "[A]\nj=2\n[B]\nk=3\n");
    file.EraseSection("A");
    EXPECT_EQ(folder.Read("a.ini"), "[B]\nk=3\n");
}
