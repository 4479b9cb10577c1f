#include "app/AppDelegate.h"
#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

class StartupServiceTest : public testing::ServiceTest {
  protected:
    // Starts the program's delegate against the given candidates and returns the
    // status lines its menu went through, in order.
    std::vector<std::string> statusLinesFor(std::string primary, std::string local) {
        auto delegate = AppDelegate::create({"pagemate"}, {});
        delegate->panelResolverConfig = configFor(std::move(primary), std::move(local));
        const std::size_t itemsBefore = platform.statusBar.items.size();
        delegate->applicationDidFinishLaunching();
        const fake::RecordingStatusItem& item = *platform.statusBar.items.at(itemsBefore);
        const std::size_t wanted = 3;  // "未连接", rule 2, rule 3
        waitFor([&] { return item.statusRows.size() >= wanted; }, 10s);
        platform.queue.runUntil([] { return false; }, 50ms);
        std::vector<std::string> lines;
        for (const std::string& row : item.statusRows) {
            lines.push_back(row.substr(std::string_view("状态：").size()));
        }
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(delegate->statusLine(), lines.back());
        }
        return lines;
    }

    std::string closedBase() const {
        return "http://127.0.0.1:" + std::to_string(testing::closedPort());
    }
};

TEST_F(StartupServiceTest, LocalServiceOfOurs) {
    StandInService service;
    EXPECT_EQ(statusLinesFor(service.base(), service.base()),
              (std::vector<std::string>{"未连接", "本地服务", "本地服务"}));
}

TEST_F(StartupServiceTest, NoServiceAtAll) {
    const std::string nowhere = closedBase();
    EXPECT_EQ(statusLinesFor(nowhere, nowhere),
              (std::vector<std::string>{"未连接", "本地服务", "连不上 • 本地服务"}));
    EXPECT_TRUE(log.contains("本机也没有服务，仍使用 " + nowhere));
}

TEST_F(StartupServiceTest, AnotherProductOnThePrimaryPort) {
    StandInService other;
    other.answer("/health", 200, R"({"product":"someone-else"})");
    EXPECT_EQ(statusLinesFor(other.base(), other.base()),
              (std::vector<std::string>{"未连接", "本地服务", "本地服务"}));
    EXPECT_TRUE(
        log.contains("主服务不可用（对面是别的服务（product=someone-else）），尝试本机服务…"));
    EXPECT_TRUE(log.contains("已回退到本机服务 " + other.base()));
}

TEST_F(StartupServiceTest, OnlyTheLocalFallbackAnswers) {
    const StandInService local;
    EXPECT_EQ(statusLinesFor(closedBase(), local.base()),
              (std::vector<std::string>{"未连接", "本地服务", "本地服务"}));
}

TEST_F(StartupServiceTest, RemoteServiceWordedAsOnline) {
    // "localhost" stands in for a remote host: the address holds no "127.0.0.1".
    StandInService service;
    const std::string remote = "http://localhost:" + std::to_string(service.port());
    EXPECT_EQ(statusLinesFor(remote, closedBase()),
              (std::vector<std::string>{"未连接", "线上服务", "线上服务"}));

    service.answer("/health", 503, "{}");
    const testing::LogCapture secondRun;
    auto delegate = AppDelegate::create({"pagemate"}, {});
    delegate->panelResolverConfig = configFor(remote, closedBase());
    delegate->applicationDidFinishLaunching();
    waitFor([&] { return delegate->statusLine().starts_with("连不上"); }, 10s);
    EXPECT_EQ(delegate->statusLine(), "连不上 • 线上服务");
}

}  // namespace
}  // namespace pagemate
