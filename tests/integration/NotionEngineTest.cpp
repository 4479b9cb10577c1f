// The hot-key flows end to end: the program under openbox, Chromium showing an editor page
// as Notion's desktop app does, the hot keys pressed at every person timing.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

// httplib before the X11 headers: X11 defines macros (Success, None) that clash with it.
#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"
#include "platform/fake/VirtualClockQueue.h"
#include "platform/linux/AtspiAccessibility.h"
// clang-format off
#include <gtk/gtk.h>
#include "fixtures/ChromiumNotion.h"
#include "fixtures/DesktopSuite.h"
#include <X11/keysym.h>
// clang-format on

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Timing = testing::PersonTiming;

constexpr const char* kUsersCopy = "user's own copy";

// One Chromium and one program for the whole suite, as a user's session has them.
template <bool withAccessibility>
class NotionEngine : public testing::DesktopSuite {
  protected:
    static void SetUpTestSuite() {
        DesktopSuite::SetUpTestSuite();
        service = std::make_unique<testing::StandInService>();
        service->answer("/quick", 200, testing::readFile(PAGES_DIR "/quick-apply.html"),
                        "text/html");
        service->answer("/panel", 200, testing::readFile(PAGES_DIR "/panel-insert.html"),
                        "text/html");
        home = std::make_unique<testing::TempDir>();
        environment = {
            std::make_shared<testing::ScopedEnvironment>("PGM_SERVER_URL", service->base().c_str()),
            std::make_shared<testing::ScopedEnvironment>("XDG_DATA_HOME",
                                                         (home->path() / "data").c_str()),
            std::make_shared<testing::ScopedEnvironment>("XDG_CONFIG_HOME",
                                                         (home->path() / "config").c_str())};
        notion = std::make_unique<testing::ChromiumNotion>(*desktop, *service, withAccessibility);
        std::filesystem::remove("/tmp/pagemate-app.log");
        program = std::make_unique<testing::ProgramRun>(std::vector<std::string>{},
                                                        home->path() / "stdout");
        ASSERT_TRUE(testing::waitForLog("菜单栏就绪", *program));
        ASSERT_TRUE(testing::logLines("注册全局热键失败").empty()) << "a hot key is not free";
    }
    static void TearDownTestSuite() {
        if (program) {
            EXPECT_TRUE(program->terminate());
        }
        program.reset();
        notion.reset();
        environment.clear();
        service.reset();
        home.reset();
        DesktopSuite::TearDownTestSuite();
    }

    // Asked without GTK's nested wait, which can hang on an owner that is busy
    // answering: a read that gets no answer in 5 s counts as empty.
    static std::string clipboardText() {
        struct Read {
            std::string text;
            bool answered = false;
        };
        auto read = std::make_unique<Read>();
        gtk_clipboard_request_text(
            gtk_clipboard_get(GDK_SELECTION_CLIPBOARD),
            [](GtkClipboard* /*clipboard*/, const gchar* text, gpointer data) {
                auto* answer = static_cast<Read*>(data);
                answer->text = text != nullptr ? text : "";
                answer->answered = true;
            },
            read.get());
        if (!testing::pumpUntil([&] { return read->answered; }, 5s)) {
            static_cast<void>(read.release());  // GTK still holds it and answers later
            return {};
        }
        return read->text;
    }

    static std::optional<std::string> accessibleTitle() {
        fake::VirtualClockQueue clock;
        linux_backend::AtspiAccessibility accessibility(true, clock);
        if (!accessibility.trustStatus().trusted()) {
            return std::nullopt;
        }
        return accessibility.focusedWindowTitle(notion->pid());
    }

    static void rewriteWithTheQuickBar(const Timing& timing) {
        SCOPED_TRACE(testing::describe(timing));
        notion->startRound(/*selectWord=*/true);
        gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), kUsersCopy, -1);
        gtk_clipboard_store(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
        testing::pressAsPerson(desktop->display(), {XK_Alt_L, XK_space}, timing);
        ASSERT_TRUE(
            testing::pumpUntil([] { return notion->text() == "hello WORLD from chromium"; }, 10s))
            << notion->text();
        const auto shown = testing::logLines("快速条：已显示");
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), "快速条：已显示（选中 5 字，页面「Roadmap Q3」）");
        EXPECT_TRUE(testing::pumpUntil([] { return clipboardText() == kUsersCopy; }, 3s))
            << clipboardText();
    }

    static inline std::unique_ptr<testing::StandInService> service;
    static inline std::unique_ptr<testing::TempDir> home;
    static inline std::vector<std::shared_ptr<testing::ScopedEnvironment>> environment;
    static inline std::unique_ptr<testing::ChromiumNotion> notion;
    static inline std::unique_ptr<testing::ProgramRun> program;
};

// Notion as a fresh desktop runs it: no assistive technologies, so AT-SPI sees nothing.
using NotionEngineWithoutAccessibility = NotionEngine<false>;

// The quick bar rewrites the selection in place and gives the user's clipboard back, or
// with nothing selected writes at the caret; the panel learns the page from its link and
// writes its answer at the cursor. The title comes from the window system.
TEST_F(NotionEngineWithoutAccessibility, QuickBarAndPanelWriteIntoTheEditorWhateverTheTiming) {
    ASSERT_TRUE(program && program->running());
    EXPECT_EQ(accessibleTitle(), std::nullopt);
    for (const Timing& timing : testing::personTimings()) {
        rewriteWithTheQuickBar(timing);
    }
    notion->startRound(/*selectWord=*/false);
    testing::pressAsPerson(desktop->display(), {XK_Alt_L, XK_space}, {150ms, false});
    ASSERT_TRUE(testing::pumpUntil(
        [] { return notion->text() == "hello INSERTED world from chromium"; }, 10s))
        << notion->text();
    const auto shown = testing::logLines("快速条：已显示");
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), "快速条：已显示（选中 0 字，页面「Roadmap Q3」）");

    for (const Timing& timing : testing::personTimings()) {
        SCOPED_TRACE(testing::describe(timing));
        notion->startRound(/*selectWord=*/true);
        const std::size_t seen = service->received().size();
        testing::pressAsPerson(desktop->display(), {XK_Alt_L, XK_Shift_L, XK_space}, timing);
        const auto knowsThePage = [&] {
            const auto received = service->received();
            return std::any_of(received.begin() + static_cast<std::ptrdiff_t>(seen), received.end(),
                               [](const auto& request) {
                                   const auto context =
                                       nlohmann::json::parse(request.body, nullptr, false);
                                   return request.path == "/panel-context" && context.is_object() &&
                                          context.value("pageId", "") == notion->pageId &&
                                          context.value("pageTitle", "") == "Roadmap Q3" &&
                                          context.value("source", "") == "link";
                               });
        };
        ASSERT_TRUE(testing::pumpUntil(knowsThePage, 10s));
        ASSERT_TRUE(testing::pumpUntil(
            [] { return notion->text() == "hello INSERTED from chromium"; }, 10s))
            << notion->text();
    }
}

// Notion with the desktop's switch on: the title comes from AT-SPI.
using NotionEngineWithAccessibility = NotionEngine<true>;

TEST_F(NotionEngineWithAccessibility, QuickBarTakesTheTitleFromTheAccessibilityInterface) {
    ASSERT_TRUE(program && program->running());
    ASSERT_TRUE(testing::pumpUntil([] { return accessibleTitle().has_value(); }, 10s));
    EXPECT_EQ(accessibleTitle(), "Roadmap Q3 - Notion");
    rewriteWithTheQuickBar({150ms, false});
}

}  // namespace
}  // namespace pagemate
