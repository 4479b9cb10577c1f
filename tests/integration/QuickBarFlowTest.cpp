// The quick bar end to end, as a user meets it: the program running on the virtual
// display, the stand-in Notion window with a word selected and the user's own rich
// clipboard; Alt+Space pressed on the keyboard; the service's page rewrites the
// selection; the word is replaced in Notion and the user's clipboard comes back.

#include <gtest/gtest.h>

// httplib before the X11 headers: X11 defines macros (Success, None) that clash with it.
#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"
// clang-format off
#include <gtk/gtk.h>
#include "fixtures/DesktopSuite.h"
// clang-format on

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class QuickBarFlow : public testing::DesktopSuite {
  protected:
    QuickBarFlow() {
        service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick-apply.html"),
                       "text/html");
    }

    // Starts the program and waits until its start-up has run.
    std::unique_ptr<testing::ProgramRun> start() {
        std::filesystem::remove("/tmp/pagemate-app.log");  // only this run's lines
        auto program = std::make_unique<testing::ProgramRun>(std::vector<std::string>{},
                                                             home.path() / "stdout");
        EXPECT_TRUE(testing::waitForLog("菜单栏就绪", *program));
        return program;
    }

    // The user's clipboard as a program reading it sees it: each target's bytes.
    static std::string clipboardTarget(const char* target) {
        GtkSelectionData* data = gtk_clipboard_wait_for_contents(
            gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), gdk_atom_intern(target, FALSE));
        if (data == nullptr) {
            return {};
        }
        gint length = 0;
        const guchar* bytes = gtk_selection_data_get_data_with_length(data, &length);
        std::string result(reinterpret_cast<const char*>(bytes),
                           static_cast<std::size_t>(std::max(length, 0)));
        gtk_selection_data_free(data);
        return result;
    }

    testing::TempDir home;
    const testing::ScopedEnvironment data{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::StandInService service;
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", service.base().c_str()};
};

TEST_F(QuickBarFlow, AltSpaceRewritesTheSelectionInPlaceAndTheClipboardComesBack) {
    const testing::StandInNotion notion(*desktop, /*ownClipboard=*/true);
    const auto program = start();
    ASSERT_TRUE(testing::logLines("注册全局热键失败").empty()) << "Alt+Space is not free";

    testing::pressAltSpace(desktop->display());
    ASSERT_TRUE(
        testing::pumpUntil([&] { return notion.text() == "Hello WORLD from the stand-in"; }, 15s))
        << notion.text();
    EXPECT_EQ(testing::logLines("快速条：已显示"),
              std::vector<std::string>{"快速条：已显示（选中 5 字，页面「Weekly Plan」）"});
    ASSERT_TRUE(testing::pumpUntil([] { return !testing::logLines("快速条：已写回").empty(); }));
    EXPECT_EQ(testing::logLines("快速条：已写回"),
              std::vector<std::string>{"快速条：已写回（粘贴，替换选中）"});

    // 0.8 s after the paste every target of the user's clipboard is back.
    ASSERT_TRUE(testing::pumpUntil(
        [] { return clipboardTarget("text/html") == "<b>user's rich copy</b>"; }, 5s));
    EXPECT_EQ(clipboardTarget("UTF8_STRING"), "user's rich copy");
    EXPECT_EQ(clipboardTarget("application/x-pagemate-test"), std::string("\x01\x02private", 9));
    EXPECT_TRUE(program->terminate());
}

TEST_F(QuickBarFlow, WithoutASelectionTheTextGoesInAtTheCaret) {
    const testing::StandInNotion notion(*desktop, /*ownClipboard=*/true, /*selectWord=*/false);
    const auto program = start();
    testing::pressAltSpace(desktop->display());
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return notion.text() == "Hello INSERTED world from the stand-in"; }, 15s))
        << notion.text();
    ASSERT_TRUE(testing::pumpUntil([] { return !testing::logLines("快速条：已写回").empty(); }));
    EXPECT_EQ(testing::logLines("快速条：已写回"),
              std::vector<std::string>{"快速条：已写回（粘贴，插入光标处）"});
    // With nothing selected the page link was read instead, and gave the title.
    EXPECT_EQ(testing::logLines("快速条：已显示"),
              std::vector<std::string>{"快速条：已显示（选中 0 字，页面「Weekly Plan」）"});
    EXPECT_TRUE(program->terminate());
}

}  // namespace
}  // namespace pagemate
