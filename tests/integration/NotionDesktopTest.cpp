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
    // One window manager for the suite: a second one would find the first one's
    // leftover root properties and take them for a running manager.
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
        sharedDesktop = std::make_unique<testing::Desktop>();
    }
    static void TearDownTestSuite() { sharedDesktop.reset(); }
    static inline std::unique_ptr<testing::Desktop> sharedDesktop;

    NotionDesktopTest() { Platform::install(linux_backend::makeLinuxPlatform()); }
    ~NotionDesktopTest() override { Platform::uninstall(); }

    RunningApplication notionApp() {
        for (const RunningApplication& application :
             Platform::current().workspace->runningApplications()) {
            if (application.pid == notion->pid()) {
                return application;
            }
        }
        ADD_FAILURE() << "the stand-in is not among the running applications";
        return {};
    }

    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", "/nonexistent/pagemate-test"};
    testing::LogCapture log;
    testing::Desktop& desktop = *sharedDesktop;
    std::unique_ptr<testing::StandInNotion> notion =
        std::make_unique<testing::StandInNotion>(desktop, true);
};

TEST_F(NotionDesktopTest, ReadsPageAndSelectionAndPutsTheUsersClipboardBack) {
    Workspace& workspace = *Platform::current().workspace;
    const std::optional<RunningApplication> frontmost = workspace.frontmostApplication();
    ASSERT_TRUE(frontmost);
    EXPECT_EQ(frontmost->pid, notion->pid());
    EXPECT_EQ(frontmost->bundleIdentifier, "notion.id");
    EXPECT_EQ(frontmost->localizedName, "Notion");
    ASSERT_TRUE(Reader::isTrusted()) << "accessibility bus or XTest missing";
    EXPECT_EQ(Reader::windowTitle(notion->pid()), "Weekly Plan \u2013 Notion");

    Pasteboard& pasteboard = *Platform::current().pasteboard;
    const std::vector<PasteboardItem> before = Reader::savePasteboard(pasteboard);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].at("text/html"), "<b>user's rich copy</b>");
    EXPECT_EQ(before[0].at("application/x-pagemate-test"), std::string("\x01\x02private", 9));

    const NotionContext context = Reader::read(true, std::nullopt);
    EXPECT_EQ(context.pageId, "01234567-89ab-cdef-0123-456789abcdef");
    EXPECT_EQ(context.pageTitle, "Weekly Plan");
    EXPECT_EQ(context.pageUrl,
              "https://www.notion.so/Weekly-Plan-0123456789abcdef0123456789abcdef?pvs=4");
    EXPECT_EQ(context.selectedText, "world");
    EXPECT_EQ(context.source, "link");
    EXPECT_EQ(notion->copyTimes().size(), 2u);  // Control-L, then Control-C

    // Every target of the user's clipboard is back, byte for byte.
    const std::vector<PasteboardItem> after = Reader::savePasteboard(pasteboard);
    ASSERT_EQ(after.size(), 1u);
    for (const auto& [type, bytes] : before[0]) {
        ASSERT_TRUE(after[0].contains(type)) << type;
        EXPECT_EQ(after[0].at(type), bytes) << type;
    }
    EXPECT_EQ(pasteboard.string(), "user's rich copy");
}

// The user calls the program with a hot key such as Alt+Space or Alt+Shift+Space and is
// still holding its modifiers when the copies go out: Notion must see Control-L and
// Control-C, not Control-Alt-L, and the user's keys must be down again afterwards. A
// Control the user holds is part of the shortcut and stays down.
TEST_F(NotionDesktopTest, ShortcutsCarryControlAloneWhileTheUserHoldsHotKeyModifiers) {
    ASSERT_TRUE(Reader::isTrusted()) << "accessibility bus or XTest missing";
    const std::vector<std::pair<std::string, std::vector<KeySym>>> cases = {
        {"Alt", {XK_Alt_L}}, {"Alt+Shift", {XK_Alt_L, XK_Shift_L}}, {"Control", {XK_Control_L}}};
    for (const auto& [name, keysyms] : cases) {
        SCOPED_TRACE("held: " + name);
        const testing::HeldKeys held(desktop.display(), keysyms);
        ASSERT_TRUE(held.allDown());
        const std::size_t copiesBefore = notion->copyTimes().size();

        const NotionContext context = Reader::read(true, std::nullopt);
        EXPECT_EQ(context.pageId, "01234567-89ab-cdef-0123-456789abcdef");
        EXPECT_EQ(context.source, "link");
        EXPECT_EQ(context.selectedText, "world");
        EXPECT_EQ(notion->copyTimes().size(), copiesBefore + 2);  // Control-L, Control-C

        EXPECT_TRUE(held.allDown()) << "the held keys are not down again";
        if (name != "Control") {
            EXPECT_FALSE(testing::isKeyDown(desktop.display(), XK_Control_L));
        }
    }
}

TEST_F(NotionDesktopTest, InsertsAtTheCaretAfterBringingNotionToTheFront) {
    // Another window in front first: insertion has to activate the stand-in.
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(other), "another window");
    gtk_widget_show_all(other);
    gtk_window_present(GTK_WINDOW(other));
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return desktop.activeWindow() != 0 && desktop.activeWindow() != notion->window(); }));
    EXPECT_EQ(Reader::frontmostNotion(), std::nullopt);

    Pasteboard& pasteboard = *Platform::current().pasteboard;
    const long beforeInsert = pasteboard.changeCount();
    const InsertOutcome outcome = TextInsertion::insert("Inserted", notionApp());
    EXPECT_EQ(outcome, InsertOutcome(Inserted{"粘贴"}));
    EXPECT_TRUE(log.contains("插入：切换到 Notion → 成功")) << log.text();
    EXPECT_TRUE(log.contains("插入：已发送 ⌘V"));
    EXPECT_GT(pasteboard.changeCount(), beforeInsert);
    ASSERT_TRUE(testing::pumpUntil([&] {
        return notion->text() == "Hello Inserted from the stand-in";
    })) << notion->text();

    // 0.8 s later the user's clipboard is back.
    ASSERT_TRUE(testing::pumpUntil([&] { return pasteboard.string() == "user's rich copy"; }, 3s));
    EXPECT_EQ(Reader::savePasteboard(pasteboard).at(0).at("text/html"), "<b>user's rich copy</b>");
    gtk_widget_destroy(other);
}

TEST_F(NotionDesktopTest, AccessibilityRoadWritesIntoTheTextArea) {
    const int pid = notion->pid();
    // The stand-in registers with the accessibility bus on its own time after it shows.
    nlohmann::json probe;
    EXPECT_TRUE(testing::pumpUntil([&] {
        probe = TextInsertion::probeFocusedElement(pid);
        return probe.value("focusedElement", "") == "text";
    })) << probe;
    EXPECT_EQ(probe.value("selectedTextSettable", false), true);
    EXPECT_TRUE(TextInsertion::insertViaAccessibility("AX", pid));
    EXPECT_TRUE(log.contains("AX 插入：写入结果 0"));
    ASSERT_TRUE(testing::pumpUntil([&] { return notion->text() == "Hello AX from the stand-in"; }))
        << notion->text();
    EXPECT_FALSE(TextInsertion::insertViaAccessibility("x", 999999));
    EXPECT_TRUE(log.contains("AX 插入：拿不到焦点元素"));
}

TEST(X11Workspace, NotionClassNamesMapToTheNotionIdentity) {
    using linux_backend::X11Workspace;
    EXPECT_EQ(X11Workspace::identityForClass("Notion"), "notion.id");
    EXPECT_EQ(X11Workspace::identityForClass("notion-app"), "notion.id");
    EXPECT_EQ(X11Workspace::identityForClass("Notion-app-enhanced"), "notion.id");
    EXPECT_EQ(X11Workspace::identityForClass("Notion Calendar"), "Notion Calendar");
    EXPECT_EQ(X11Workspace::identityForClass("firefox"), "firefox");
}

}  // namespace
}  // namespace pagemate
