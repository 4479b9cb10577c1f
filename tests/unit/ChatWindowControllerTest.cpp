// The chat window's show and toggle rules and its kept frame, on fake windows and the
// virtual clock.

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

    std::optional<std::string> storedFrame() const {
        const auto value = platform.preferences.value(ChatWindowController::frameName);
        if (!value || !std::holds_alternative<std::string>(*value)) {
            return std::nullopt;
        }
        return std::get<std::string>(*value);
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

    // The same base without its slash: no reload, the page keeps its conversation.
    chat->toggle("http://127.0.0.1:8787");  // in front with the focus: hides
    EXPECT_FALSE(chat->isVisible());
    chat->toggle("http://127.0.0.1:8787");
    EXPECT_TRUE(chat->isVisible());
    window->key = false;  // another window took the focus
    chat->toggle("http://127.0.0.1:8787");
    EXPECT_TRUE(window->visible && window->key);
    EXPECT_EQ(window->frontCount, 3);
    EXPECT_EQ(window->view.loads.size(), 1u);

    // Another base loads from there; one that is not an address is taken but not loaded.
    chat->show("https://pagemate.example.com");
    chat->show("not an address");
    chat->show("https://pagemate.example.com/");
    EXPECT_EQ(window->view.loads, (std::vector<std::string>{"http://127.0.0.1:8787/panel",
                                                            "https://pagemate.example.com/panel",
                                                            "https://pagemate.example.com/panel"}));
    EXPECT_EQ(window->frontCount, 6);
    EXPECT_TRUE(window->view.scripts.empty());  // no host scripts in this window
}

TEST_F(ChatWindowControllerTest, FrameIsCentredFirstThenKeptAcrossRuns) {
    {
        const auto chat = makeController();
        EXPECT_EQ(window->frame(), (Rect{240, 68, 960, 740}));

        // Saved once the window has been still for half a second.
        window->userMovesTo({100, 120, 1000, 800});
        platform.queue.advance(400ms);
        window->userMovesTo({110, 130, 1000, 800});
        platform.queue.advance(400ms);
        EXPECT_FALSE(storedFrame());
        platform.queue.advance(100ms);
        EXPECT_EQ(storedFrame(), "110 130 1000 800");
    }
    platform.queue.advance(1s);  // a save pending past the controller is dropped

    const auto again = makeController();
    EXPECT_EQ(window->frame(), (Rect{110, 130, 1000, 800}));

    // Frames off every screen, unreadable, too small, or beyond any desktop (and beyond
    // what a window system's integers hold): centred again.
    const auto restoredFrom = [&](const std::string& stored) {
        platform.preferences.setValue(ChatWindowController::frameName, stored);
        const auto chat = makeController();
        return window->frame();
    };
    for (const char* stored : {"3000 100 1000 800", "100 100 1000 800 5", "100 100 0 800",
                               "x y w h", "240 120 960 79999999940", "-1000001 0 960 740"}) {
        EXPECT_EQ(restoredFrom(stored), (Rect{240, 68, 960, 740})) << stored;
    }
    EXPECT_EQ(restoredFrom("-999000 0 1000000 740"), (Rect{-999000, 0, 1000000, 740}));
    EXPECT_EQ(restoredFrom("-20 10 300 200"), (Rect{-20, 10, 560, 440}));
    EXPECT_EQ(ChatWindowController::parseFrame(
                  ChatWindowController::formatFrame({-12.4, 7.6, 900, 700.5})),
              (Rect{-12, 8, 900, 701}));
}

}  // namespace
}  // namespace pagemate
