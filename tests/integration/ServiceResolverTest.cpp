#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

class ServiceResolverTest : public testing::ServiceTest {
  protected:
    // Resolves and returns the base handed to the completion, which runs once.
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
    EXPECT_EQ(chosen, primary.base());  // before resolveServer returned
    EXPECT_EQ(resolver.resolvedServerURL(), primary.base());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), "http://untouched");
    EXPECT_TRUE(log.contains("使用环境变量指定的服务：" + primary.base()));
    platform.queue.runUntil([] { return false; }, 100ms);
    EXPECT_TRUE(primary.received().empty() && local.received().empty());
    Settings::shared().setRuntimeBaseURL("");  // none settled: the environment's, trimmed
    EXPECT_EQ(baseURL(), primary.base());
}

TEST_F(ServiceResolverTest, PrimaryOfOurProductIsChosenSilently) {
    const testing::ScopedEnvironment empty("PGM_SERVER_URL", "");  // as good as none
    ServiceResolver resolver(configFor(primary.base() + "/", local.base()));
    EXPECT_EQ(resolve(resolver), primary.base() + "/");
    EXPECT_FALSE(resolver.usingFallbackServer());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), primary.base() + "/");
    EXPECT_TRUE(log.messages().empty()) << log.text();
    EXPECT_TRUE(local.received().empty());
    ASSERT_EQ(primary.received().size(), 1U);
    EXPECT_EQ(primary.received()[0].path, "/health");  // the slash trimmed before the path
    EXPECT_FALSE(primary.received()[0].hasHeader("x-app-password"));
    // The effective base trims what the settled address still carries.
    EXPECT_EQ(baseURL(), primary.base());
    Settings::shared().setRuntimeBaseURL("/http://127.0.0.1:4310//");
    EXPECT_EQ(baseURL(), "http://127.0.0.1:4310");
}

TEST_F(ServiceResolverTest, ForeignSilentOrUnformablePrimaryFallsBackToTheLocalService) {
    struct Case {
        int status;  // 0: never answers
        std::string body;
        std::string reason;
        std::string primaryBase;  // the stand-in's when empty
    };
    const std::vector<Case> cases = {
        {200, R"({"product":"other-app"})", "对面是别的服务（product=other-app）", ""},
        {200, "<html>not json</html>", "对面是别的服务（product=空）", ""},
        {200, R"({"product":42})", "对面是别的服务（product=空）", ""},
        {200, R"(["product","pagemate"])", "对面是别的服务（product=空）", ""},
        {200, R"({"product":"Pagemate"})", "对面是别的服务（product=Pagemate）", ""},
        {500, R"({"product":"pagemate"})", "连不上", ""},
        {404, "", "连不上", ""},
        {0, R"({"product":"pagemate"})", "连不上", ""},
        {200, "", "连不上", "http://bad host"},
    };
    for (const Case& testCase : cases) {
        const testing::LogCapture caseLog;
        if (testCase.status == 0) {
            primary.answerLate("/health", 5s, 200, testCase.body);
        } else {
            primary.answer("/health", testCase.status, testCase.body);
        }
        // The local service counts on status 200 whatever its body says.
        local.answer("/health", 200, "anything at all");
        auto config = configFor(
            testCase.primaryBase.empty() ? primary.base() : testCase.primaryBase, local.base());
        config.primaryTimeout = 300ms;
        ServiceResolver resolver(config);
        EXPECT_EQ(resolve(resolver), local.base()) << testCase.body;
        EXPECT_TRUE(resolver.usingFallbackServer());
        EXPECT_EQ(Settings::shared().runtimeBaseURL(), local.base());
        EXPECT_EQ(caseLog.messages(), (std::vector<std::string>{
                                          "主服务不可用（" + testCase.reason + "），尝试本机服务…",
                                          "已回退到本机服务 " + local.base()}))
            << caseLog.text();
    }
}

TEST_F(ServiceResolverTest, NothingAnswersAndThePrimaryStays) {
    const std::string primaryBase = "http://127.0.0.1:" + std::to_string(testing::closedPort());
    local.answerLate("/health", 5s, 200, "{}");
    auto config = configFor(primaryBase, local.base());
    config.localTimeout = 300ms;
    ServiceResolver resolver(config);
    Settings::shared().setRuntimeBaseURL("http://stale");
    EXPECT_EQ(resolve(resolver), primaryBase);
    EXPECT_FALSE(resolver.usingFallbackServer());
    EXPECT_EQ(Settings::shared().runtimeBaseURL(), primaryBase);
    EXPECT_TRUE(log.contains("本机也没有服务，仍使用 " + primaryBase));
}

TEST_F(ServiceResolverTest, ReleasedResolverCallsNothing) {
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

TEST_F(ServiceResolverTest, HealthIsStatus200WithABodyInTime) {
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
}

}  // namespace
}  // namespace pagemate
