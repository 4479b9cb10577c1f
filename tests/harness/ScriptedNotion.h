#pragma once

// The fake platform with a scripted Notion in front of the tests that read it and write
// into it: Command-C and Command-L put its selection and its page's link on the
// pasteboard 30 ms later, when it has them.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate::testing {

inline const std::string kPageId = "0123456789abcdef0123456789abcdef";
constexpr const char* kDashedPageId = "01234567-89ab-cdef-0123-456789abcdef";

class ScriptedNotionTest : public ::testing::Test {
  protected:
    ScriptedNotionTest() {
        platform.keys.onKeyDown = [this](std::uint16_t key, std::uint64_t flags) {
            keyTimes.emplace_back(key, platform.queue.now());
            if (onKey) {
                onKey();
            }
            const std::optional<std::string> answer =
                (flags & KeyEvents::commandFlag) == 0 ? std::nullopt
                : key == NotionContextReader::keyC    ? selection
                : key == NotionContextReader::keyL    ? link
                                                      : std::nullopt;
            if (answer) {
                platform.queue.postAfter(std::chrono::milliseconds(30), [this, text = *answer] {
                    platform.pasteboard.copy({{{"text/plain", text}}});
                });
            }
        };
    }

    // Each key pressed and released with Command, as the program sends its shortcuts.
    static std::vector<fake::ScriptedKeyEvents::Stroke> strokesOf(
        std::initializer_list<std::uint16_t> keys) {
        std::vector<fake::ScriptedKeyEvents::Stroke> strokes;
        for (const std::uint16_t key : keys) {
            strokes.push_back({key, true, KeyEvents::commandFlag});
            strokes.push_back({key, false, KeyEvents::commandFlag});
        }
        return strokes;
    }

    ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9/"};
    fake::FakePlatform platform;
    LogCapture log;
    const RunningApplication notion{42, "notion.id", "Notion"};
    const RunningApplication other{7, "org.mozilla.firefox", "Firefox"};
    std::optional<std::string> selection;
    std::optional<std::string> link;
    std::vector<std::pair<std::uint16_t, MainQueue::Clock::time_point>> keyTimes;
    std::function<void()> onKey;  // called at each key-down, before Notion answers
};

}  // namespace pagemate::testing
