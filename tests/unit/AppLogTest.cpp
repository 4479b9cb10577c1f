#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

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

TEST(AppLog, LineAndHeaderFormatsByteForByte) {
    const testing::ScopedEnvironment utc("TZ", "UTC0");
    ::tzset();
    EXPECT_EQ(LogWriter::formatLine(kMorning, "面板：显示"), "[09:41:07.254] 面板：显示\n");
    EXPECT_EQ(LogWriter::formatLine(kMorning - milliseconds(254), "x"), "[09:41:07.000] x\n");
    // A message's own line feeds are kept: one stamp, two physical lines.
    EXPECT_EQ(LogWriter::formatLine(kMorning, "a\nb"), "[09:41:07.254] a\nb\n");
    EXPECT_EQ(LogWriter::formatHeader(kMorning, "启动"),
              "=== 启动 \u00B7 2026-12-05 09:41:07 +0000 ===\n");
    {
        // Lines use local time; the header stays in UTC.
        const testing::ScopedEnvironment beijing("TZ", "CST-8");
        ::tzset();
        EXPECT_EQ(LogWriter::formatLine(kMorning, "m"), "[17:41:07.254] m\n");
        EXPECT_EQ(LogWriter::formatHeader(kMorning, "启动"),
                  "=== 启动 \u00B7 2026-12-05 09:41:07 +0000 ===\n");
    }
    ::tzset();
}

TEST(AppLog, FirstWriteCreatesFileAndResetReplacesIt) {
    const testing::ScopedEnvironment utc("TZ", "UTC0");
    ::tzset();
    const TempDir directory;
    const auto path = directory.path() / "app.log";
    LogWriter writer(
        path, [] { return kMorning; }, -1);

    writer.write("第一行");
    EXPECT_EQ(readFile(path), "[09:41:07.254] 第一行\n");
    writer.write("第二行");
    EXPECT_EQ(readFile(path), "[09:41:07.254] 第一行\n[09:41:07.254] 第二行\n");

    writer.reset("启动");
    EXPECT_EQ(readFile(path), "=== 启动 \u00B7 2026-12-05 09:41:07 +0000 ===\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(AppLog, ErrorStreamCarriesExactlyTheFileLines) {
    const TempDir directory;
    const auto echoPath = directory.path() / "stderr";
    const int echo = ::open(echoPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(echo, 0);
    {
        LogWriter writer(directory.path() / "app.log", &system_clock::now, echo);
        writer.reset("启动");  // the header is not echoed
        writer.write("会议录音：开始");
        writer.write("多行\n消息");
    }
    ::close(echo);
    const std::string file = readFile(directory.path() / "app.log");
    const std::string echoed = readFile(echoPath);
    ASSERT_FALSE(echoed.empty());
    EXPECT_EQ(file.substr(file.find('\n') + 1), echoed);
}

TEST(AppLog, ConcurrentWritersLeaveWholeLines) {
    const TempDir directory;
    const auto path = directory.path() / "app.log";
    LogWriter writer(path, &system_clock::now, -1);
    constexpr int kThreads = 16;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&writer, thread] {
            for (int line = 0; line < kLines; ++line) {
                writer.write("线程" + std::to_string(thread) + "：第" + std::to_string(line) +
                             "行" + std::string(200, 'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(readFile(path));
    std::string line;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line[0], '[') << line;
        ASSERT_EQ(line.substr(13, 2), "] ") << line;
        ASSERT_TRUE(line.ends_with(std::string(200, 'x'))) << line;
        seen.insert(line.substr(15));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(AppLog, PlantedSymlinkIsReplacedNotFollowed) {
    const TempDir directory;
    const auto victim = directory.path() / "victim";
    testing::writeFile(victim, "precious\n");
    const auto path = directory.path() / "app.log";

    // A link planted where the log goes: neither reset nor write may touch its target.
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    LogWriter writer(path, &system_clock::now, -1);
    writer.write("一行");
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(readFile(path).ends_with("] 一行\n"));

    std::filesystem::remove(path);
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    writer.reset("启动");
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_TRUE(readFile(path).starts_with("=== 启动"));

    // A dangling link would make a naive writer create the file it points to.
    std::filesystem::remove(path);
    const auto elsewhere = directory.path() / "created-elsewhere";
    ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
    writer.write("再一行");
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST(AppLog, FifoAtThePathDoesNotBlockTheWriter) {
    const TempDir directory;
    const auto path = directory.path() / "app.log";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    LogWriter writer(path, &system_clock::now, -1);
    writer.write("不会卡住");  // a FIFO without a reader would block a plain open()
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_TRUE(readFile(path).ends_with("] 不会卡住\n"));
}

// Fixed names in the shared /tmp: another user's file there is left alone, and this
// user's own file of that name is used, said once on standard error.
TEST(AppLog, AFileOfAnotherUserIsLeftForThisUsersOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "making a file of another user takes root";
    }
    const TempDir shared;
    const TempDir runtime;
    const auto fixed = shared.path() / "pagemate-app.log";
    testing::writeFile(fixed, "theirs\n");
    ASSERT_EQ(::chown(fixed.c_str(), 65534, 65534), 0);
    const auto errors = shared.path() / "stderr";
    const int saved = ::dup(2);
    const int capture = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(capture, 2);
    std::vector<std::filesystem::path> used;
    for (const char* folder : {runtime.path().c_str(), static_cast<const char*>(nullptr)}) {
        const testing::ScopedEnvironment variable("XDG_RUNTIME_DIR", folder);
        used.push_back(AppLog::fileFor(fixed));
        LogWriter(used.back(), &system_clock::now, -1).write("一行");
    }
    ::dup2(saved, 2);
    ::close(saved);
    ::close(capture);
    EXPECT_EQ(used, (std::vector<std::filesystem::path>{runtime.path() / "pagemate-app.log",
                                                        shared.path() / "pagemate-app-0.log"}));
    EXPECT_EQ(readFile(fixed), "theirs\n");
    EXPECT_TRUE(readFile(used[1]).ends_with("] 一行\n"));
    EXPECT_EQ(readFile(errors), "页伴：" + fixed.string() + " 是另一个用户的文件，本次改用 " +
                                    used[0].string() + "\n");
    // This user's own files keep their names.
    EXPECT_EQ(AppLog::fileFor(errors), errors);
}

}  // namespace
}  // namespace pagemate
