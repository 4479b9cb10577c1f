#include "app/AppDelegate.h"
#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

using StartupServiceTest = testing::ServiceTest;

// The status row through start-up: before resolution, after it, after the health check.
TEST_F(StartupServiceTest, StatusRowForEachServiceFound) {
    StandInService ours;
    StandInService other;
    other.answer("/health", 200, R"({"product":"someone-else"})");
    StandInService failing;
    failing.answer("/health", 503, "{}");
    // "localhost" stands in for a remote host: the address holds no "127.0.0.1".
    const auto remote = [](const StandInService& service) {
        return "http://localhost:" + std::to_string(service.port());
    };
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::closedPort());
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {nowhere, ours.base(), "本地服务", "本地服务"},
        {nowhere, nowhere, "本地服务", "连不上 • 本地服务"},
        {remote(ours), nowhere, "线上服务", "线上服务"},
        {remote(failing), nowhere, "线上服务", "连不上 • 线上服务"},
        {other.base(), other.base(), "本地服务", "本地服务"},  // said in the log, below
    };
    for (const auto& [primary, local, resolved, checked] : cases) {
        auto delegate = AppDelegate::create({"pagemate"}, {});
        delegate->panelResolverConfig = configFor(primary, local);
        const std::size_t itemsBefore = platform.statusBar.items.size();
        delegate->applicationDidFinishLaunching();
        const fake::RecordingStatusItem& item = *platform.statusBar.items.at(itemsBefore);
        waitFor([&] { return item.statusRows.size() >= 3; }, 10s);
        platform.queue.runUntil([] { return false; }, 50ms);  // and no more rows
        EXPECT_EQ(item.statusRows, (std::vector<std::string>{"状态：未连接", "状态：" + resolved,
                                                             "状态：" + checked}))
            << primary << " " << local;
        EXPECT_EQ("状态：" + delegate->statusLine(), item.statusRows.back());
    }
    EXPECT_TRUE(
        log.contains("主服务不可用（对面是别的服务（product=someone-else）），尝试本机服务…"));
}

}  // namespace
}  // namespace pagemate
