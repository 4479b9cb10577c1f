// The Notion integration on a real X server: the X11 clipboard, XTest keystrokes,
// EWMH activation and AT-SPI, against the stand-in Notion window.

#include <X11/keysym.h>
#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include "fixtures/Desktop.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11Workspace.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
namespace Reader = NotionContextReader;

class NotionDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }
    NotionDesktopTest() { Platform::install(linux_backend::makeLinuxPlatform()); }
    ~NotionDesktopTest() override { Platform::uninstall(); }

    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", "/nonexistent/pagemate-test"};
    testing::LogCapture log;  // the lines stay here, out of the program's log file
    const testing::Desktop desktop;
    const testing::StandInNotion notion{desktop, true};
};

// The user still holds Control when the copies go out (the hot keys' other modifiers at
// every person timing: NotionEngineTest): Notion sees Control-L and Control-C, Control is
// down again afterwards, and every target of the user's clipboard comes back, byte for byte.
// Then the answer goes in by the accessibility road (the paste road, and the clipboard given
// back: against Chromium in NotionEngineTest).
TEST_F(NotionDesktopTest, ReadsWhileControlIsHeldPutsTheClipboardBackAndWritesByAccessibility) {
    const std::optional<RunningApplication> frontmost =
        Platform::current().workspace->frontmostApplication();
    ASSERT_TRUE(frontmost);
    EXPECT_EQ(*frontmost, (RunningApplication{notion.pid(), "notion.id", "Notion"}));
    ASSERT_TRUE(Reader::isTrusted()) << "accessibility bus or XTest missing";
    EXPECT_EQ(Reader::windowTitle(notion.pid()), "Weekly Plan \u2013 Notion");
    Pasteboard& pasteboard = *Platform::current().pasteboard;
    const std::vector<PasteboardItem> before = Reader::savePasteboard(pasteboard);
    EXPECT_EQ(before, (std::vector<PasteboardItem>{
                          {{"text/html", "<b>user's rich copy</b>"},
                           {"UTF8_STRING", "user's rich copy"},
                           {"application/x-pagemate-test", std::string("\x01\x02private", 9)}}}));
    {
        const testing::HeldKeys holding(desktop.display(), {XK_Control_L});
        ASSERT_TRUE(holding.allDown());
        EXPECT_EQ(Reader::read(true, std::nullopt),
                  (NotionContext{
                      "01234567-89ab-cdef-0123-456789abcdef", "Weekly Plan",
                      "https://www.notion.so/Weekly-Plan-0123456789abcdef0123456789abcdef?pvs=4",
                      "world", "link"}));
        EXPECT_EQ(notion.copyTimes().size(), 2u);
        EXPECT_TRUE(testing::isKeyDown(desktop.display(), XK_Control_L));
        EXPECT_EQ(Reader::savePasteboard(pasteboard), before);
    }

    // The stand-in registers with the accessibility bus on its own time after it shows.
    nlohmann::json probe;
    EXPECT_TRUE(testing::pumpUntil([&] {
        probe = TextInsertion::probeFocusedElement(notion.pid());
        return probe.value("focusedElement", "") == "text";
    })) << probe;
    EXPECT_EQ(probe.value("selectedTextSettable", false), true);
    EXPECT_TRUE(TextInsertion::insertViaAccessibility("AX", notion.pid()));
    ASSERT_TRUE(testing::pumpUntil([&] { return notion.text() == "Hello AX from the stand-in"; }))
        << notion.text();
    EXPECT_FALSE(TextInsertion::insertViaAccessibility("x", 999999));
}

TEST(X11Workspace, NotionClassNamesMapToTheNotionIdentity) {
    using linux_backend::X11Workspace;
    EXPECT_EQ(X11Workspace::identityForClass("notion-app"), "notion.id");
    EXPECT_EQ(X11Workspace::identityForClass("Notion-app-enhanced"), "notion.id");
    EXPECT_EQ(X11Workspace::identityForClass("Notion Calendar"), "Notion Calendar");
}

}  // namespace
}  // namespace pagemate
