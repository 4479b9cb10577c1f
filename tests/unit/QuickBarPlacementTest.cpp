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
    EXPECT_EQ(std::tie(options.title, options.contentRect, options.minHeight, options.maxHeight,
                       options.webDataName),
              std::tuple("页伴", Rect{0, 0, 560, 58}, 54, 180, "webdata"));
    EXPECT_EQ(
        window->view.scripts,
        (std::vector<std::string>{HostBridge::hostObjectScript(HostBridge::Host::quickBar),
                                  HostBridge::errorCaptureScript(HostBridge::Host::quickBar)}));
    EXPECT_NE(window->view.delegate, nullptr);
    EXPECT_TRUE(window->view.loads.empty());
    EXPECT_EQ(bar->height(), 58);
}

TEST_F(QuickBarTest, PlacementStaysInsideTheVisibleFrame) {
    const Rect visible{0, 25, 1440, 850};
    const Rect bottomTray{0, 40, 1440, 860};  // a 40-point tray along the bottom edge
    const struct {
        double x, y;  // the click
        Rect visible;
        double height;
        Rect placed;
    } byClick[] = {
        {500, 600, visible, 58, {460, 532, 560, 58}},  // below the click, 40 points to its left
        {30, 600, visible, 58, {8, 532, 560, 58}},     // 8 points inside the left edge
        {1470, 600, {1440, 0, 1920, 1200}, 58, {1448, 532, 560, 58}},
        {1430, 600, visible, 58, {872, 532, 560, 58}},        // ... and the right one
        {500, 65, visible, 58, {460, 83, 560, 58}},           // no room below: 18 points above it
        {500, 40, {0, 0, 800, 100}, 58, {232, 34, 560, 58}},  // ... up to the top edge
        {500, 600, visible, 180, {460, 410, 560, 180}},       // a taller bar hangs lower
        {500, 200, visible, 180, {460, 218, 560, 180}},       // ... and finds no room sooner
        {500, 20, bottomTray, 58, {460, 48, 560, 58}},        // a click on the tray: above it
    };
    for (const auto& [x, y, frame, height, placed] : byClick) {
        EXPECT_EQ(QuickBarController::cursorPlacement(x, y, frame, height), placed)
            << x << "," << y;
    }
    // Under the status item, centred on it, 6 points below; kept 8 points inside. With no
    // frame: 12 points from the right and top edges. A tray at the bottom: above the icon.
    const struct {
        std::optional<Rect> item;
        Rect visible;
        Rect placed;
    } byItem[] = {
        {Rect{1300, 875, 24, 25}, visible, {872, 811, 560, 58}},
        {Rect{700, 875, 24, 25}, visible, {432, 811, 560, 58}},
        {Rect{10, 875, 24, 25}, visible, {8, 811, 560, 58}},
        {std::nullopt, visible, {868, 805, 560, 58}},
        {Rect{1300, 5, 24, 25}, bottomTray, {872, 48, 560, 58}},
    };
    for (const auto& [item, frame, placed] : byItem) {
        EXPECT_EQ(QuickBarController::statusItemPlacement(item, frame, 58), placed);
    }
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
