#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LibsecretStore.h"

namespace pagemate {
namespace {

// Each test runs in a process of its own, so no bus connection is cached yet.
TEST(KeyringUnavailable, MissingServiceReadsAsNoPasswordAndLogsOnce) {
    // A bus address where nothing listens, as on a machine without a session.
    const testing::ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS",
                                         "unix:path=/nonexistent/pagemate-bus");
    const fake::FakePlatform platform;
    const testing::LogCapture log;
    linux_backend::LibsecretStore store;
    EXPECT_EQ(store.copyMatching("s", "a").status, SecretStatus::notAvailable);
    EXPECT_EQ(store.add("s", "a", "x"), SecretStatus::notAvailable);
    ASSERT_EQ(log.messages().size(), 1u) << log.text();
    EXPECT_TRUE(log.messages()[0].starts_with("钥匙串：Secret Service 不可用（"));
}

}  // namespace
}  // namespace pagemate
