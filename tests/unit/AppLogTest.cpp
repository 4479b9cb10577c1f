// The log writer: line formats, file creation and reset, and what someone may have
// planted at the log's fixed path in the shared /tmp.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/AppLog.h"
#include "harness/TestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono;
using testing::readFile;
using testing::TempDir;

// 2026-12-05 09:41:07.254 UTC.
const system_clock::time_point kMorning =
    system_clock::time_point(seconds(1796463667)) + milliseconds(254);

TEST(AppLog, LinesInLocalTimeTheHeaderInUtcAndResetReplacesTheFile) {
    const testing::ScopedEnvironment beijing("TZ", "CST-8");
    ::tzset();
    const TempDir directory;
    const auto path = directory.path() / "app.log";
    LogWriter writer(
        path, [] { return kMorning; }, -1);
    writer.write("第一行");
    // A message's own line feeds are kept: one stamp, two physical lines.
    writer.write("第二行\n续");
    EXPECT_EQ(readFile(path), "[17:41:07.254] 第一行\n[17:41:07.254] 第二行\n续\n");
    writer.reset("启动");
    EXPECT_EQ(readFile(path), "=== 启动 \u00B7 2026-12-05 09:41:07 +0000 ===\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Whatever stands at the path (a link, a FIFO without a reader, another user's file) is replaced by
// a file of this user's, never written through, and never blocks the writer.
TEST(AppLog, WhatIsPlantedAtThePathIsReplacedNotWrittenThrough) {
    const TempDir directory;
    const auto victim = directory.path() / "victim";
    const auto path = directory.path() / "app.log";
    const std::vector<std::pair<std::string, std::function<void()>>> plants = {
        {"link", [&] { ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0); }},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"another user's file",
         [&] {
             testing::writeFile(path, "theirs\n");
             if (::geteuid() == 0) {
                 ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
             }
         }},
    };
    for (const bool reset : {false, true}) {
        for (const auto& [what, plant] : plants) {
            testing::writeFile(victim, "precious\n");
            std::filesystem::remove(path);
            plant();
            LogWriter writer(path, &system_clock::now, -1);
            reset ? writer.reset("启动") : writer.write("一行");
            EXPECT_EQ(readFile(victim), "precious\n") << what;
            struct stat info {};
            ASSERT_EQ(::lstat(path.c_str(), &info), 0) << what;
            EXPECT_TRUE(S_ISREG(info.st_mode)) << what;
            EXPECT_EQ(info.st_uid, ::geteuid()) << what;
            EXPECT_EQ(readFile(path).find("theirs"), std::string::npos) << what;
        }
    }
}

}  // namespace
}  // namespace pagemate
