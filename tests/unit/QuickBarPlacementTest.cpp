// The quick bar's window, its placement and its resizing.

#include "unit/QuickBarFixture.h"
#include "web/HostBridge.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::QuickBarTest;

TEST_F(QuickBarTest, WindowAndScriptsAsCreated) {
    const QuickBarOptions& options = platform.windows.lastQuickBarOptions;
    EXPECT_EQ(options.title, "页伴");
    EXPECT_EQ(options.contentRect, (Rect{0, 0, 560, 58}));
    EXPECT_EQ(options.minHeight, 54);
    EXPECT_EQ(options.maxHeight, 180);
    EXPECT_EQ(options.webDataName, "webdata");
    EXPECT_EQ(
        window->view.scripts,
        (std::vector<std::string>{HostBridge::hostObjectScript(HostBridge::Host::quickBar),
                                  HostBridge::errorCaptureScript(HostBridge::Host::quickBar)}));
    EXPECT_NE(window->view.delegate, nullptr);
    EXPECT_TRUE(window->view.loads.empty());
    EXPECT_EQ(bar->height(), 58);
}

TEST_F(QuickBarTest, PlacementArithmetic) {
    const Rect visible{0, 25, 1440, 850};
    // Below the click, 40 points to its left.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 600, visible, 58),
              (Rect{460, 532, 560, 58}));
    // 30 points from the left edge: the visible frame's minX + 8.
    EXPECT_EQ(QuickBarController::cursorPlacement(30, 600, visible, 58).x, 8);
    EXPECT_EQ(QuickBarController::cursorPlacement(1440 + 30, 600, Rect{1440, 0, 1920, 1200}, 58).x,
              1448);
    // At the right edge: 8 points inside it.
    EXPECT_EQ(QuickBarController::cursorPlacement(1430, 600, visible, 58).x, 1440 - 568);
    // 40 points above the bottom: no room below, 18 points above the click.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 65, visible, 58).y, 83);
    // ... limited by the top of the visible frame.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 40, Rect{0, 0, 800, 100}, 58).y, 34);
    // The height counts: a taller bar hangs lower and finds no room sooner.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 600, visible, 180).y, 410);
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 200, visible, 180).y, 218);

    // Under the status item, centred on it, 6 points below; kept 8 points inside.
    const Rect item{1300, 875, 24, 25};
    EXPECT_EQ(QuickBarController::statusItemPlacement(item, visible, 58),
              (Rect{1440 - 568, 875 - 58 - 6, 560, 58}));
    EXPECT_EQ(QuickBarController::statusItemPlacement(Rect{700, 875, 24, 25}, visible, 58).x,
              712 - 280);
    EXPECT_EQ(QuickBarController::statusItemPlacement(Rect{10, 875, 24, 25}, visible, 58).x, 8);
    // No frame: 12 points from the right and top edges.
    EXPECT_EQ(QuickBarController::statusItemPlacement(std::nullopt, visible, 58),
              (Rect{1440 - 560 - 12, 875 - 58 - 12, 560, 58}));
}

TEST_F(QuickBarTest, ShowPlacesByTheLastClickOrUnderTheStatusItem) {
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}},
                                   Screen{{1440, 0, 1920, 1200}, {1440, 40, 1920, 1160}}};
    const Rect item{1300, 875, 24, 25};
    bar->statusItemFrame = [&] { return std::optional(item); };

    // Following the cursor, but no click seen yet: under the status item.
    ASSERT_TRUE(Settings::shared().quickBarFollowsCursor());
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));
    EXPECT_TRUE(window->visible);

    // Clicks come from the window system once tracking has started, and only then.
    platform.windows.mouseUp(1470, 600);
    EXPECT_FALSE(bar->lastMouseUp());
    bar->startTrackingCursor();
    bar->startTrackingCursor();
    EXPECT_EQ(platform.windows.mouseUpObserverSets, 1);
    platform.windows.mouseUp(1470, 600);
    EXPECT_EQ(bar->lastMouseUp(), std::pair(1470.0, 600.0));
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{1448, 532, 560, 58}));  // on the second screen

    // A click on no screen, or the setting off: under the status item again.
    bar->noteMouseUp(-500, -500);
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));
    bar->noteMouseUp(1470, 600);
    Settings::shared().setQuickBarFollowsCursor(false);
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));

    // No status-item frame: the main screen's top right corner.
    bar->statusItemFrame = [] { return std::optional<Rect>(); };
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{868, 805, 560, 58}));
    bar->statusItemFrame = nullptr;
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{868, 805, 560, 58}));

    // A click reported after the controller has gone reaches nothing.
    bar.reset();
    platform.windows.mouseUp(10, 10);
}

TEST_F(QuickBarTest, ResizeKeepsTheTopEdgeWithinLimits) {
    window->currentFrame = Rect{100, 500, 560, 58};
    const auto resize = [&](const json& height) {
        bar->handleMessage({{"action", "resize"}, {"height", height}});
    };
    resize(30);  // not above 30: ignored, though 54 would be a change
    EXPECT_EQ(window->currentFrame, (Rect{100, 500, 560, 58}));
    resize(40);  // at least 54
    EXPECT_EQ(window->currentFrame, (Rect{100, 504, 560, 54}));
    EXPECT_EQ(bar->height(), 54);
    resize(55);  // within 2 points
    resize(56);
    resize(30);     // not above 30
    resize("300");  // not a number: 0
    bar->handleMessage({{"action", "resize"}});
    EXPECT_EQ(window->currentFrame, (Rect{100, 504, 560, 54}));
    resize(400);  // at most 180
    EXPECT_EQ(window->currentFrame, (Rect{100, 378, 560, 180}));
    resize(178.5);
    resize(1000);
    EXPECT_EQ(window->currentFrame, (Rect{100, 378, 560, 180}));
    resize(57);
    EXPECT_EQ(window->currentFrame, (Rect{100, 501, 560, 57}));

    EXPECT_EQ(QuickBarController::resizedHeight(30, 58), std::nullopt);
    EXPECT_EQ(QuickBarController::resizedHeight(30.5, 58), 54);
    EXPECT_EQ(QuickBarController::resizedHeight(60, 58), std::nullopt);
    EXPECT_EQ(QuickBarController::resizedHeight(61, 58), 61);

    // Later shows place the bar at its current height.
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{1440 - 572, 875 - 57 - 12, 560, 57}));
}

}  // namespace
}  // namespace pagemate
