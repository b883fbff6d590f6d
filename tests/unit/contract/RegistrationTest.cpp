// SPDX-License-Identifier: MIT
// Start mode from the command line, and the registration files under $XDG_DATA_HOME.
#include "server/Registration.h"

#include "TempFolder.h"

#include <filesystem>
#include <gmock/gmock.h>

namespace fs = std::filesystem;

namespace {

class Registration : public ::testing::Test {
protected:
    TTempFolder Temp;
    TScopedEnv DataHome{"XDG_DATA_HOME", Temp.Dir()};
};

} // namespace

TEST(StartMode, SwitchesAreFoundWithEitherPrefixInAnyCase) {
    using enum TStartMode;
    // The keywords are tried in their order, not in the order of the arguments.
    // clang-format off
    const std::pair<std::vector<std::string_view>, TStartMode> cases[] = {
        {{"/regserver"}, smRegServer}, {{"-RegServer"}, smRegServer}, {{"/REGSERVER"}, smRegServer},
        {{"-Embedding"}, smAutomation}, {{"/automation"}, smAutomation}, {{}, smStandalone},
        {{"-unregserver"}, smUnregServer}, {{"--regserver", "regserver", "-regserver2", "-CONFIG"}, smStandalone},
        {{"-unregserver", "-regserver"}, smRegServer}, {{"-regserver", "-embedding"}, smAutomation}};
    // clang-format on
    for (const auto& [args, mode] : cases)
        EXPECT_EQ(FindStartMode(args), mode) << ::testing::PrintToString(args);
    char arg0[] = "zemb-server", arg1[] = "/RegServer";
    char* argv[] = {arg0, arg1};
    EXPECT_EQ(FindStartMode(2, argv), TStartMode::smRegServer);
    char* only[] = {arg1};
    EXPECT_EQ(FindStartMode(1, only), TStartMode::smStandalone); // argv[0] is no switch
}

// What a plain -RegServer writes and -UnregServer removes is the end-to-end tests' part.
TEST_F(Registration, AStartRewritesTheFilesForItsOwnPathWithoutLeavingATemporaryFile) {
    std::string error;
    ASSERT_TRUE(RegisterServer("/opt/zemb/zemb-server", error)) << error;
    ASSERT_TRUE(UpdateRegistration(TStartMode::smStandalone, "/home/a user/zemb-server", error));
    EXPECT_EQ(Temp.Read(ServiceFilePath()), "[D-BUS Service]\nName=org.zemb.ZEMB\n"
                                            "Exec=\"/home/a user/zemb-server\" -Embedding\n");
    EXPECT_FALSE(fs::exists(ServiceFilePath() + ".tmp"));
    ASSERT_TRUE(UpdateRegistration(TStartMode::smUnregServer, "/ignored", error));
    EXPECT_TRUE(UnregisterServer(error)); // nothing left to remove is no error
}

TEST(ServiceFile, QuotesWhatTheBusWouldOtherwiseSplitOrUnquote) {
    EXPECT_THAT(ServiceFileText("/a b/c\"d\\e$f"),
                ::testing::HasSubstr("Exec=\"/a b/c\\\"d\\\\e\\$f\" -Embedding\n"));
    EXPECT_THAT(ServiceFileText("/plain/path"),
                ::testing::HasSubstr("Exec=/plain/path -Embedding"));
}

TEST(ServiceFile, OnlyTheInstalledServerIsActivatedThroughItsSystemdUnit) {
    EXPECT_THAT(ServiceFileText(ZEMB_INSTALLED_SERVER),
                ::testing::EndsWith("-Embedding\nSystemdService=zemb-server.service\n"));
    EXPECT_THAT(ServiceFileText("/home/me/build/zemb-server"),
                ::testing::Not(::testing::HasSubstr("SystemdService")));
}

TEST_F(Registration, FailureIsReportedInRegisterModeOnlyAndChangesNothing) {
    // A plain file where the data folder should be: no one can create folders below it.
    Temp.Write("file", "x");
    TScopedEnv file("XDG_DATA_HOME", Temp.File("file"));
    std::string error;
    EXPECT_FALSE(UpdateRegistration(TStartMode::smRegServer, "/opt/zemb/zemb-server", error));
    EXPECT_THAT(error, ::testing::HasSubstr("Registration failed: cannot create"));
    error.clear();
    EXPECT_TRUE(UpdateRegistration(TStartMode::smStandalone, "/opt/zemb/zemb-server", error) &&
                UpdateRegistration(TStartMode::smAutomation, "/opt/zemb/zemb-server", error) &&
                error.empty() && !fs::exists(ServiceFilePath()));
}
