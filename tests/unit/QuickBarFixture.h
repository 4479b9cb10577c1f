#pragma once

// The quick bar on fake screens, a scripted Notion and a recording web view, on the
// virtual clock: the fixture its tests share.

#include <gtest/gtest.h>

#include <algorithm>

#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"
#include "web/QuickBarController.h"

namespace pagemate::testing {

using nlohmann::json;
namespace Reader = NotionContextReader;

inline constexpr const char* kId = "0123456789abcdef0123456789abcdef";
inline constexpr const char* kDashed = "01234567-89ab-cdef-0123-456789abcdef";
inline const std::string kBootstrapPrefix = "window.__PGM_BOOTSTRAP__ = ";

class QuickBarTest : public ::testing::Test {
  protected:
    QuickBarTest() {
        Settings::shared().setRuntimeBaseURL("");
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
        bar = QuickBarController::create();
        window = platform.windows.quickBars.at(0);
        // A scripted Notion: Control-C and Control-L put the selection and the page's
        // link on the pasteboard after a reaction time, when it has them.
        platform.keys.onKeyDown = [this](std::uint16_t key, std::uint64_t flags) {
            keyTimes.emplace_back(key, platform.queue.now());
            visibleAtKey.push_back(window->visible);
            if ((flags & KeyEvents::commandFlag) == 0) {
                return;
            }
            const std::optional<std::string> answer = key == Reader::keyC   ? selection
                                                      : key == Reader::keyL ? link
                                                                            : std::nullopt;
            if (answer) {
                platform.queue.postAfter(reaction, [this, text = *answer] {
                    platform.pasteboard.copy({{{"text/plain", text}}});
                });
            }
        };
    }

    void notionInFront(const std::string& title = "Draft \u2013 Notion") {
        platform.workspace.frontmost = notion;
        platform.workspace.running = {other, notion};
        platform.accessibility.windowTitles[notion.pid] = title;
    }

    // The key-down strokes of this key.
    [[nodiscard]] std::size_t copies(std::uint16_t key) const {
        return static_cast<std::size_t>(
            std::count_if(platform.keys.strokes.begin(), platform.keys.strokes.end(),
                          [key](const auto& stroke) { return stroke.key == key && stroke.down; }));
    }

    // The bootstrap object the page gets at its next load.
    [[nodiscard]] json bootstrap() const {
        for (const std::string& script : window->view.scripts) {
            if (script.starts_with(kBootstrapPrefix)) {
                return json::parse(script.substr(kBootstrapPrefix.size(),
                                                 script.size() - kBootstrapPrefix.size() - 1));
            }
        }
        return json();
    }

    // The arguments of the page's bridge calls of this function, since `from`.
    [[nodiscard]] std::vector<json> calls(const std::string& function, std::size_t from = 0) const {
        const std::string prefix = "window.PGM_QUICK_BRIDGE && window.PGM_QUICK_BRIDGE." +
                                   function + " && window.PGM_QUICK_BRIDGE." + function + "(";
        std::vector<json> found;
        const auto& evaluated = window->view.evaluated;
        for (std::size_t index = from; index < evaluated.size(); ++index) {
            const std::string& script = evaluated[index];
            if (script.starts_with(prefix)) {
                found.push_back(
                    json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2)));
            }
        }
        return found;
    }

    ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9/"};
    fake::FakePlatform platform;
    LogCapture log;
    const RunningApplication notion{42, "notion.id", "Notion"};
    const RunningApplication other{7, "org.mozilla.firefox", "Firefox"};
    std::optional<std::string> selection;
    std::optional<std::string> link;
    std::chrono::milliseconds reaction{30};
    std::vector<std::pair<std::uint16_t, MainQueue::Clock::time_point>> keyTimes;
    std::vector<bool> visibleAtKey;
    std::shared_ptr<QuickBarController> bar;
    fake::FakePanelWindow* window = nullptr;
};

}  // namespace pagemate::testing
