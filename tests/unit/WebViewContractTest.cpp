// The web view contract on the views that need no engine: the recording fake of the
// controller tests and the view of a window system without a display. (The engine's
// own view is checked the same way in the web tests.)

#include <gtest/gtest.h>

#include "contracts/WebViewContract.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(WebViewContract, RecordingFake) {
    fake::FakePlatform platform;
    testing::checkWebViewContract(
        [] { return std::make_unique<fake::RecordingWebView>(); },
        [&](const std::function<bool()>& done) { return platform.queue.runUntil(done, 200ms); });
}

TEST(WebViewContract, ViewWithoutDisplay) {
    fake::FakePlatform platform;
    UnavailableWindowSystem windows;
    testing::checkWebViewContract(
        [&] { return std::make_unique<testing::PanelWebView>(windows.createPanel({})); },
        [&](const std::function<bool()>& done) { return platform.queue.runUntil(done, 200ms); });
}

}  // namespace
}  // namespace pagemate
