// SPDX-License-Identifier: MIT
#include "base/ProcessList.h"

#include "TempFolder.h"
#include "TestProcess.h"
#include "base/ExecutablePaths.h"
#include "base/Text.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(ProcessListTest, SnapshotHoldsThisProcessFoundByAnEmptyName) {
    TProcessList list;
    const TProcessItem* self = list.FindProcessID(static_cast<std::uint32_t>(::getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(std::pair(self->FullPath, self->ExeName),
              std::pair(ExecutablePath(), ExtractFileName(ExecutablePath())));
    EXPECT_FALSE(list.HasProcessID(0));
    // An empty name stands for this program's own file.
    EXPECT_GE(list.FilterByExe("", true), 1u);
    EXPECT_TRUE(list.HasProcessID(static_cast<std::uint32_t>(::getpid())));
}

namespace {
// A running copy of /bin/sleep under a name of our own, ended with the object.
struct TSleeper : TProcess {
    explicit TSleeper(const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file("/bin/sleep", path);
        Start({path, "30"});
    }
};

bool WaitForCount(const std::string& name, bool byFullPath, std::uint16_t expected) {
    return WaitUntil([&] { return CountProcessInstances(name, byFullPath) == expected; }, 5s);
}
} // namespace

TEST(ProcessListTest, CopiesCountedByFileNameOrFullPathWithoutCase) {
    TTempFolder folder;
    const std::string name = "zemb-copy-" + std::to_string(::getpid());
    TSleeper first(folder.File("a/" + name));
    TSleeper second(folder.File("b/" + name));
    EXPECT_TRUE(WaitForCount(name, false, 2));
    EXPECT_TRUE(WaitForCount("/elsewhere/" + ZEMB::UpperCaseText(name), false, 2));
    EXPECT_TRUE(WaitForCount(ZEMB::UpperCaseText(folder.File("a/" + name)), true, 1));
    EXPECT_TRUE(WaitForCount(folder.File("c/" + name), true, 0));

    TProcessList list;
    EXPECT_EQ(list.FilterByExe(folder.File("b/" + name), true), 1u);
    EXPECT_TRUE(list.HasProcessID(static_cast<std::uint32_t>(second.Pid())));
    EXPECT_FALSE(list.HasProcessID(static_cast<std::uint32_t>(first.Pid())));
}
