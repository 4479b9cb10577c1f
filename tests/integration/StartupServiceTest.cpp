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
    const std::string nowhere = closedBase();
    const std::vector<std::tuple<std::string, std::string, std::string, std::string, std::string>>
        cases = {
            {ours.base(), ours.base(), "本地服务", "本地服务", ""},
            {nowhere, ours.base(), "本地服务", "本地服务", ""},
            {nowhere, nowhere, "本地服务", "连不上 • 本地服务", ""},
            {other.base(), other.base(), "本地服务", "本地服务",
             "主服务不可用（对面是别的服务（product=someone-else）），尝试本机服务…"},
            {remote(ours), nowhere, "线上服务", "线上服务", ""},
            {remote(failing), nowhere, "线上服务", "连不上 • 线上服务", ""},
        };
    for (const auto& [primary, local, resolved, checked, logged] : cases) {
        EXPECT_EQ(statusLinesFor(primary, local),
                  (std::vector<std::string>{"未连接", resolved, checked}))
            << primary << " " << local;
        EXPECT_TRUE(logged.empty() || log.contains(logged)) << logged;
    }
}

}  // namespace
}  // namespace pagemate
