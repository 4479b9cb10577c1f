// The chat window's show and toggle rules and its kept frame, on the virtual clock.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "web/ChatWindowController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class ChatWindowControllerTest : public ::testing::Test {
  protected:
    ChatWindowControllerTest() {
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 876}}};
    }

    std::shared_ptr<ChatWindowController> makeController() {
        auto controller = ChatWindowController::create();
        window = platform.windows.documentWindows.back();
        return controller;
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    fake::FakeDocumentWindow* window = nullptr;
};

TEST_F(ChatWindowControllerTest, LoadsOncePerTrimmedBaseAndTogglesByFocus) {
    const auto chat = makeController();
    chat->show("/");  // trims to nothing: nothing at all happens
    EXPECT_FALSE(window->visible);
    chat->show("http://127.0.0.1:8787/");
    EXPECT_EQ(window->view.lastTimeout, 15s);
    EXPECT_TRUE(window->visible && window->key);
    EXPECT_EQ(platform.windows.activations, 1);

    // The same base without its slash: no reload. In front with the focus: hides;
    // in front without it: comes forward.
    chat->toggle("http://127.0.0.1:8787");
    EXPECT_FALSE(chat->isVisible());
    chat->toggle("http://127.0.0.1:8787");
    window->key = false;  // another window took the focus
    chat->toggle("http://127.0.0.1:8787");
    EXPECT_TRUE(window->visible && window->key);
    EXPECT_EQ(window->frontCount, 3);

    // Another base loads from there; one that is not an address is taken but not loaded.
    chat->show("https://pagemate.example.com");
    chat->show("not an address");
    chat->show("https://pagemate.example.com/");
    EXPECT_EQ(window->view.loads, (std::vector<std::string>{"http://127.0.0.1:8787/panel",
                                                            "https://pagemate.example.com/panel",
                                                            "https://pagemate.example.com/panel"}));
}

TEST_F(ChatWindowControllerTest, FrameIsCentredFirstThenKeptAcrossRuns) {
    {
        const auto chat = makeController();
        EXPECT_EQ(window->frame(), (Rect{240, 68, 960, 740}));
        // Saved once the window has been still for half a second.
        window->userMovesTo({100, 120, 1000, 800});
        platform.queue.advance(400ms);
        window->userMovesTo({110, 130, 1000, 800});
        platform.queue.advance(499ms);
        EXPECT_FALSE(platform.preferences.value(ChatWindowController::frameName));
        platform.queue.advance(1ms);
    }
    platform.queue.advance(1s);  // a save pending past the controller is dropped

    // Frames off every screen, unreadable, too small, or beyond any desktop (and beyond
    // what a window system's integers hold): centred again.
    const auto restoredFrom = [&](const std::string& stored) {
        if (!stored.empty()) {
            platform.preferences.setValue(ChatWindowController::frameName, stored);
        }
        const auto chat = makeController();
        return window->frame();
    };
    EXPECT_EQ(restoredFrom(""), (Rect{110, 130, 1000, 800}));
    for (const char* stored : {"3000 100 1000 800", "100 100 1000 800 5", "100 100 0 800",
                               "240 120 960 79999999940", "-1000001 0 960 740"}) {
        EXPECT_EQ(restoredFrom(stored), (Rect{240, 68, 960, 740})) << stored;
    }
    EXPECT_EQ(restoredFrom("-999000 0 1000000 740"), (Rect{-999000, 0, 1000000, 740}));
    EXPECT_EQ(restoredFrom("-20 10 300 200"), (Rect{-20, 10, 560, 440}));
}

}  // namespace
}  // namespace pagemate
