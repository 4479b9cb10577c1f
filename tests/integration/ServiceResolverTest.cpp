#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::closedPort;
using testing::StandInService;

class ServiceResolverTest : public testing::ServiceTest {
  protected:
    // Resolves and returns the base handed to the completion.
    std::optional<std::string> resolve(ServiceResolver& resolver) {
        std::optional<std::string> chosen;
        int calls = 0;
        resolver.resolveServer([&](const std::string& base) {
            chosen = base;
            ++calls;
        });
        waitFor([&] { return calls > 0; });
        platform.queue.runUntil([] { return false; }, 50ms);  // nothing more arrives
        EXPECT_LE(calls, 1);
        return chosen;
    }

    StandInService primary;
    StandInService local;
};

TEST_F(ServiceResolverTest, EnvironmentAddressIsUsedWithoutARequest) {
    const testing::ScopedEnvironment environment("PGM_SERVER_URL",
                                                 (primary.base() + "///").c_str());
    Settings::shared().setRuntimeBaseURL("http://untouched");
    ServiceResolver resolver(configFor(primary.base(), local.base()));
    std::optional<std::string> chosen;
    resolver.resolveServer([&](const std::string& base) { chosen = base; });
    // Called before resolveServer returns.
    EXPECT_EQ(chosen, primary.base());
    EXPECT_EQ(resolver.resolvedServerURL(), primary.base());
    EXPECT_FALSE(resolver.usingFallbackServer());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), "http://untouched");
    EXPECT_TRUE(log.contains("使用环境变量指定的服务：" + primary.base()));
    platform.queue.runUntil([] { return false; }, 100ms);
    EXPECT_TRUE(primary.received().empty());
    EXPECT_TRUE(local.received().empty());
}

TEST_F(ServiceResolverTest, EmptyEnvironmentValueIsIgnored) {
    const testing::ScopedEnvironment environment("PGM_SERVER_URL", "");
    ServiceResolver resolver(configFor(primary.base(), local.base()));
    EXPECT_EQ(resolve(resolver), primary.base());
    EXPECT_EQ(primary.countFor("/health"), 1u);
}

TEST_F(ServiceResolverTest, PrimaryOfOurProductIsChosenSilently) {
    ServiceResolver resolver(configFor(primary.base() + "/", local.base()));
    EXPECT_EQ(resolve(resolver), primary.base() + "/");
    EXPECT_EQ(resolver.resolvedServerURL(), primary.base() + "/");
    EXPECT_FALSE(resolver.usingFallbackServer());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), primary.base() + "/");
    EXPECT_TRUE(log.messages().empty()) << log.text();
    EXPECT_TRUE(local.received().empty());
    ASSERT_EQ(primary.received().size(), 1u);
    EXPECT_EQ(primary.received()[0].path, "/health");  // the slash trimmed before the path
    EXPECT_FALSE(primary.received()[0].hasHeader("x-app-password"));
    // The effective base rule trims what the settled address still carries.
    EXPECT_EQ(baseURL(), primary.base());
}

TEST_F(ServiceResolverTest, ForeignOrSilentPrimaryFallsBackToTheLocalService) {
    struct Case {
        int status;
        std::string body;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {200, R"({"product":"other-app"})", "对面是别的服务（product=other-app）"},
        {200, "<html>not json</html>", "对面是别的服务（product=空）"},
        {200, R"({"product":42})", "对面是别的服务（product=空）"},
        {200, R"(["product","pagemate"])", "对面是别的服务（product=空）"},
        {200, R"({"product":"Pagemate"})", "对面是别的服务（product=Pagemate）"},
        {500, R"({"product":"pagemate"})", "连不上"},
        {404, "", "连不上"},
    };
    for (const Case& testCase : cases) {
        const testing::LogCapture caseLog;
        primary.answer("/health", testCase.status, testCase.body);
        // The local service counts on status 200 whatever its body says.
        local.answer("/health", 200, "anything at all");
        ServiceResolver resolver(configFor(primary.base(), local.base()));
        EXPECT_EQ(resolve(resolver), local.base()) << testCase.body;
        EXPECT_TRUE(resolver.usingFallbackServer());
        EXPECT_EQ(Settings::shared().runtimeBaseURL(), local.base());
        EXPECT_EQ(caseLog.messages(), (std::vector<std::string>{
                                          "主服务不可用（" + testCase.reason + "），尝试本机服务…",
                                          "已回退到本机服务 " + local.base()}))
            << caseLog.text();
    }
}

TEST_F(ServiceResolverTest, PrimaryTimeOutThenLocal) {
    primary.answerLate("/health", 5s, 200, R"({"product":"pagemate"})");
    auto config = configFor(primary.base(), local.base());
    config.primaryTimeout = 300ms;
    ServiceResolver resolver(config);
    EXPECT_EQ(resolve(resolver), local.base());
    EXPECT_TRUE(resolver.usingFallbackServer());
    EXPECT_TRUE(log.contains("主服务不可用（连不上），尝试本机服务…"));
    EXPECT_TRUE(log.contains("已回退到本机服务 " + local.base()));
}

TEST_F(ServiceResolverTest, NothingAnswersAndThePrimaryStays) {
    const std::string primaryBase = "http://127.0.0.1:" + std::to_string(closedPort());
    local.answerLate("/health", 5s, 200, "{}");
    auto config = configFor(primaryBase, local.base());
    config.localTimeout = 300ms;
    ServiceResolver resolver(config);
    Settings::shared().setRuntimeBaseURL("http://stale");
    EXPECT_EQ(resolve(resolver), primaryBase);
    EXPECT_FALSE(resolver.usingFallbackServer());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), primaryBase);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"主服务不可用（连不上），尝试本机服务…",
                                                        "本机也没有服务，仍使用 " + primaryBase}));
}

TEST_F(ServiceResolverTest, UnformableProbeAddressGoesStraightToTheLocalProbe) {
    ServiceResolver resolver(configFor("http://bad host", local.base()));
    EXPECT_EQ(resolver.resolvedServerURL(), "http://bad host");
    EXPECT_EQ(resolve(resolver), local.base());
    EXPECT_EQ(log.messages().front(), "主服务不可用（连不上），尝试本机服务…");
}

TEST_F(ServiceResolverTest, ReleasedResolverCallsNothing) {
    primary.answerLate("/health", 300ms, 200, R"({"product":"pagemate"})");
    bool called = false;
    {
        ServiceResolver resolver(configFor(primary.base(), local.base()));
        resolver.resolveServer([&](const std::string&) { called = true; });
    }
    platform.queue.runUntil([] { return false; }, 700ms);
    EXPECT_FALSE(called);
    EXPECT_TRUE(local.received().empty());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), "");
}

TEST_F(ServiceResolverTest, HealthCheck) {
    ServiceResolver resolver(configFor(primary.base(), local.base()));
    auto check = [&] {
        std::optional<bool> healthy;
        resolver.checkHealth([&](bool result) { healthy = result; });
        waitFor([&] { return healthy.has_value(); });
        return healthy;
    };
    EXPECT_EQ(check(), true);
    primary.answer("/health", 200, "");  // an empty body is still a body
    EXPECT_EQ(check(), true);
    primary.answer("/health", 503, R"({"product":"pagemate"})");
    EXPECT_EQ(check(), false);
    primary.answerLate("/health", 5s, 200, "{}");
    {
        auto config = configFor(primary.base(), local.base());
        config.healthTimeout = 200ms;
        ServiceResolver impatient(config);
        std::optional<bool> healthy;
        impatient.checkHealth([&](bool result) { healthy = result; });
        waitFor([&] { return healthy.has_value(); });
        EXPECT_EQ(healthy, false);
    }
    resolver.checkHealth();  // without a completion: nothing to call, no crash
    // A base that cannot form an address answers false at once, on the calling thread.
    ServiceResolver broken(configFor("http://bad host", local.base()));
    std::optional<bool> immediate;
    broken.checkHealth([&](bool result) { immediate = result; });
    EXPECT_EQ(immediate, false);
}

TEST_F(ServiceResolverTest, EffectiveBaseRule) {
    const testing::ScopedEnvironment environment("PGM_SERVER_URL", "https://svc.example/");
    Settings::shared().setRuntimeBaseURL("");
    EXPECT_EQ(baseURL(), "https://svc.example");
    Settings::shared().setRuntimeBaseURL("/http://127.0.0.1:4310//");
    EXPECT_EQ(baseURL(), "http://127.0.0.1:4310");
}

}  // namespace
}  // namespace pagemate
