#pragma once

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "web/ServiceResolver.h"

namespace pagemate::testing {

using namespace std::chrono_literals;

// A port where nothing listens, and nothing else can start to.
inline int closedPort() {
    return refusingPort();
}

// Fakes for the platform, real HTTP, a captured log and no address in the environment.
class ServiceTest : public ::testing::Test {
  protected:
    ServiceTest() {
        Platform::current().http = std::make_unique<linux_backend::CurlHttpClient>();
        Settings::shared().setRuntimeBaseURL("");
    }
    ~ServiceTest() override { Settings::shared().setRuntimeBaseURL(""); }

    // Runs the main queue until `done`, for at most a few seconds of real time.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return platform.queue.runUntil(done, limit);
    }

    static ServiceResolver::Config configFor(std::string primary, std::string local) {
        ServiceResolver::Config config = ServiceResolver::Config::standard();
        config.primaryBase = [primary = std::move(primary)] { return primary; };
        config.localBase = std::move(local);
        return config;
    }

    ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    LogCapture log;
};

}  // namespace pagemate::testing
