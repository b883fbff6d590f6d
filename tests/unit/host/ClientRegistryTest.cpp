// SPDX-License-Identifier: MIT
#include "HostFixture.h"
#include "base/ExecutablePaths.h"
#include "base/Text.h"
#include "base/VersionRecord.h"

#include <unistd.h>

using namespace ZEMB;
using namespace std::string_literals;

namespace {

constexpr const char* VantorExe = "/opt/Vantor/Vantor.bin";

TProcessItem Running(std::uint32_t pid, std::string path = VantorExe) {
    return {ExtractFileName(path), std::move(path), pid};
}

using ClientRegistryTest = THostTest;

TEST_F(ClientRegistryTest, ServerHoldsZeroAndIdentifiersAreNeverReused) {
    const std::int32_t first = Hookup(aciVantor, VantorExe);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(AppInfo(0), "1 " + LowerCaseText(GetLocalComputerName() + " " + ExecutablePath()));
    EXPECT_EQ(Container().ClientApps.Items()[0]->ProcessID, static_cast<std::int32_t>(getpid()));

    EXPECT_TRUE(Host().UnhookClientApp(first) && !Host().UnhookClientApp(first));
    EXPECT_EQ(Hookup(aciDostra, "/opt/Dostra/dostra"), 2);
}

TEST_F(ClientRegistryTest, TakeOverFollowsTheProcessList) {
    // One instance running: a restarted client takes over its registration; names are matched
    // and kept in lower case.
    Processes = {Running(200)};
    const std::int32_t id = Hookup(aciVantor, VantorExe, 100);
    EXPECT_EQ(Hookup(aciVantor, "/OPT/vantor/VANTOR.bin", 200), id);
    EXPECT_EQ(Container().ClientApps.FindClientApp(id)->ProcessID, 200);
    EXPECT_EQ(AppInfo(id), "2 pc1 /opt/vantor/vantor.bin"); // 2: aciVantor
    EXPECT_EQ(AppInfo(99), "");

    // Nothing running under that path: the stale entry is freed and the call fails; the
    // next attempt registers anew with a new identifier.
    Processes.clear();
    std::int32_t failed = 7;
    EXPECT_FALSE(Host().HookupClientApp(aciVantor, 300, "pc1", VantorExe, failed));
    EXPECT_EQ(std::pair(failed, Container().ClientApps.FindClientApp(id) == nullptr),
              std::pair(-1, true));
    EXPECT_EQ(Hookup(aciVantor, VantorExe, 300), id + 1);
}

TEST_F(ClientRegistryTest, TwoInstancesAndTheirFailures) {
    Processes = {Running(100), Running(101)};
    const std::int32_t a = Hookup(aciVantor, VantorExe, 100), b = Hookup(aciVantor, VantorExe, 101);
    EXPECT_EQ(Container().ClientApps.Count(), 3);

    // The first instance hooks up again while both run: fails and frees the first entry of
    // that program (its own).
    std::int32_t id = -1;
    EXPECT_FALSE(Host().HookupClientApp(aciVantor, 100, "PC1", VantorExe, id));
    EXPECT_EQ(std::pair(AppInfo(a), AppInfo(b)), std::pair(""s, "2 pc1 /opt/vantor/vantor.bin"s));

    // A process not among the running ones: fails and frees the first entry too.
    EXPECT_FALSE(Host().HookupClientApp(aciVantor, 555, "PC1", VantorExe, id));
    EXPECT_EQ(AppInfo(b), "");
}

TEST_F(ClientRegistryTest, SinkAndApplicationEnumeration) {
    const std::int32_t id = Hookup(aciVantor, VantorExe);
    EXPECT_FALSE(Host().EnumApplications(id)); // no sink yet
    auto sink = Sink(id, "c");                 // the enumeration below says it was set
    EXPECT_FALSE(Host().SetZEMBHost(id, sink) || Host().SetZEMBHost(42, sink));
    EXPECT_TRUE(Host().EnumApplications(id));
    EXPECT_THAT(Heard(), ElementsAre("EnumApplication 0 @c", "EnumApplication 1 @c"));

    // A failing sink ends the enumeration with an error.
    Hookup(aciDostra, "/opt/dostra");
    sink->FailAt = 4; // the 2nd call of this run
    EXPECT_THROW(Host().EnumApplications(id), EOleSysError);
    EXPECT_THAT(Heard(), ElementsAre("EnumApplication 0 @c", "EnumApplication 1 @c"));

    EXPECT_FALSE(Host().EnumApplications(std::shared_ptr<IZEMBHost>()));
    EXPECT_TRUE(Host().SetZEMBHost(id, nullptr)); // clears the sink
    EXPECT_FALSE(Host().EnumApplications(id));
}

} // namespace
