#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

class ServiceResolverTest : public testing::ServiceTest {
  protected:
    StandInService primary;
    StandInService local;
};

// A primary of our product is taken silently; else the local service, which counts on
// status 200 whatever its body says; when nothing answers the primary stays.
TEST_F(ServiceResolverTest, PrimaryOfOurProductElseTheLocalServiceElseThePrimaryStill) {
    const testing::ScopedEnvironment empty("PGM_SERVER_URL", "");  // as good as none (the
    // environment's address itself is taken by the program in SelfTestModeTest)
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::closedPort());
    // The status of the primary's health (0: it never answers) and its body; why the primary
    // is not taken (empty when it is); the primary's base (the stand-in's when empty).
    const std::vector<std::tuple<int, std::string, std::string, std::string>> cases = {
        {200, R"({"product":"pagemate"})", "", primary.base() + "/"},
        {200, R"({"product":"other-app"})", "对面是别的服务（product=other-app）", ""},
        {200, "<html>not json</html>", "对面是别的服务（product=空）", ""},
        {200, R"(["product","pagemate"])", "对面是别的服务（product=空）", ""},
        {200, R"({"product":"Pagemate"})", "对面是别的服务（product=Pagemate）", ""},
        {500, R"({"product":"pagemate"})", "连不上", ""},
        {0, R"({"product":"pagemate"})", "连不上", ""},
        {200, "", "连不上", "http://bad host"},
        {200, "", "连不上", nowhere},  // and the local service silent too
    };
    for (const auto& [status, body, reason, primaryBase] : cases) {
        const testing::LogCapture caseLog;
        primary.answerLate("/health", status == 0 ? 5s : 0s, status == 0 ? 200 : status, body);
        const bool localAnswers = primaryBase != nowhere;
        local.answerLate("/health", localAnswers ? 0s : 5s, 200, "anything at all");
        const std::size_t localAsked = local.countFor("/health");
        const std::string base = primaryBase.empty() ? primary.base() : primaryBase;
        auto config = configFor(base, local.base());
        config.primaryTimeout = config.localTimeout = 300ms;
        ServiceResolver resolver(config);
        std::vector<std::string> chosen;  // the completion runs once
        resolver.resolveServer([&](const std::string& chose) { chosen.push_back(chose); });
        waitFor([&] { return !chosen.empty(); });
        platform.queue.runUntil([] { return false; }, 50ms);  // nothing more arrives
        const bool fellBack = !reason.empty() && localAnswers;
        const std::string settled = fellBack ? local.base() : base;
        EXPECT_EQ(chosen, std::vector{settled}) << body;
        EXPECT_EQ(resolver.usingFallbackServer(), fellBack);
        EXPECT_EQ(Settings::shared().runtimeBaseURL(), settled);
        EXPECT_EQ(local.countFor("/health") - localAsked, reason.empty() ? 0U : 1U);
        const std::vector<std::string> said = {"主服务不可用（" + reason + "），尝试本机服务…",
                                               localAnswers ? "已回退到本机服务 " + local.base()
                                                            : "本机也没有服务，仍使用 " + nowhere};
        EXPECT_EQ(caseLog.messages(), reason.empty() ? std::vector<std::string>{} : said)
            << caseLog.text();
    }
    EXPECT_EQ(primary.received().at(0).path, "/health");  // the slash trimmed before the path
    EXPECT_FALSE(primary.received()[0].headers.contains("x-app-password"));
    // The effective base trims what the settled address still carries.
    Settings::shared().setRuntimeBaseURL("/http://127.0.0.1:4310//");
    EXPECT_EQ(baseURL(), "http://127.0.0.1:4310");
}

TEST_F(ServiceResolverTest, HealthIsStatus200WithABodyInTimeAndAReleasedResolverCallsNothing) {
    const auto healthy = [&](const std::string& base, std::chrono::milliseconds limit = 4s) {
        auto config = configFor(base, local.base());
        config.healthTimeout = limit;
        ServiceResolver resolver(config);
        std::optional<bool> result;
        resolver.checkHealth([&](bool answer) { result = answer; });
        waitFor([&] { return result.has_value(); });
        return result;
    };
    EXPECT_EQ(healthy(primary.base()), true);
    primary.answer("/health", 200, "");  // an empty body is still a body
    EXPECT_EQ(healthy(primary.base()), true);
    primary.answer("/health", 503, R"({"product":"pagemate"})");
    EXPECT_EQ(healthy(primary.base()), false);
    primary.answerLate("/health", 5s, 200, "{}");
    EXPECT_EQ(healthy(primary.base(), 200ms), false);
    // A base that cannot form an address answers false at once, on the calling thread.
    ServiceResolver broken(configFor("http://bad host", local.base()));
    std::optional<bool> immediate;
    broken.checkHealth([&](bool result) { immediate = result; });
    EXPECT_EQ(immediate, false);
    broken.checkHealth();  // without a completion: nothing to call, no crash

    primary.answerLate("/health", 300ms, 200, R"({"product":"pagemate"})");
    bool called = false;
    ServiceResolver(configFor(primary.base(), local.base())).resolveServer([&](const std::string&) {
        called = true;
    });
    platform.queue.runUntil([] { return false; }, 700ms);
    EXPECT_FALSE(called);
    EXPECT_TRUE(local.received().empty());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), "");
}

}  // namespace
}  // namespace pagemate
