#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using fake::ScriptedKeyEvents;
namespace Reader = NotionContextReader;

constexpr const char* kId = "0123456789abcdef0123456789abcdef";
constexpr const char* kDashed = "01234567-89ab-cdef-0123-456789abcdef";

TEST(NotionRules, CleanTitle) {
    EXPECT_EQ(Reader::cleanTitle("Project Plan \u2013 Notion"), "Project Plan");
    EXPECT_EQ(Reader::cleanTitle("Project Plan - Notion"), "Project Plan");
    EXPECT_EQ(Reader::cleanTitle("Project Plan \u2014 Notion"), "Project Plan");
    EXPECT_EQ(Reader::cleanTitle("Notes \u2013 Notion.so"), "Notes");
    EXPECT_EQ(Reader::cleanTitle("Notion"), "Notion");
    EXPECT_EQ(Reader::cleanTitle("A \u2013 Notion \u2013 Notion"), "A \u2013 Notion");
    EXPECT_EQ(Reader::cleanTitle("A - Notion in the middle"), "A - Notion in the middle");
    EXPECT_EQ(Reader::cleanTitle("A \u2013 notion"), "A \u2013 notion");
    EXPECT_EQ(Reader::cleanTitle("  周报  \u2013 Notion"), "周报");
}

TEST(NotionRules, Dash) {
    EXPECT_EQ(Reader::dash(kId), kDashed);
    EXPECT_EQ(Reader::dash("0123456789ABCDEF0123456789ABCDEF"),
              "01234567-89AB-CDEF-0123-456789ABCDEF");
    const std::string shorter(31, 'a');
    const std::string longer(33, 'a');
    EXPECT_EQ(Reader::dash(shorter), shorter);
    EXPECT_EQ(Reader::dash(longer), longer);
}

TEST(NotionRules, ParseNotionURL) {
    using Parsed = Reader::ParsedNotionURL;
    const std::string id = kId;
    const std::string link = "https://www.notion.so/team/Weekly-Plan-" + id + "?pvs=4#x";
    EXPECT_EQ(Reader::parseNotionURL("  " + link + "\n"), (Parsed{kDashed, link, "Weekly Plan"}));
    EXPECT_EQ(Reader::parseNotionURL("https://www.notion.so/周报-" + id),
              (Parsed{kDashed, "https://www.notion.so/周报-" + id, "周报"}));
    EXPECT_EQ(Reader::parseNotionURL(id), (Parsed{kDashed, "https://www.notion.so/" + id, ""}));
    // The first of two runs; upper case kept in the id and in the built address.
    const std::string upper = "ABCDEF0123456789ABCDEF0123456789";
    EXPECT_EQ(
        Reader::parseNotionURL("page " + upper + " then " + id),
        (Parsed{"ABCDEF01-2345-6789-ABCD-EF0123456789", "https://www.notion.so/" + upper, ""}));
    // A segment that starts with the id has no title.
    EXPECT_EQ(Reader::parseNotionURL("https://www.notion.so/" + id + "?v=1")->title, "");
    // Dashes and spaces trimmed, hyphens become spaces, percent-encoding undone.
    EXPECT_EQ(Reader::parseNotionURL("https://x/--%E5%91%A8-%E6%8A%A5 \u2013" + id)->title,
              "周 报");
    // A bad escape keeps the text as it was before decoding.
    EXPECT_EQ(Reader::parseNotionURL("https://x/100%-done-" + id)->title, "100% done");
    EXPECT_EQ(Reader::parseNotionURL("https://x/%FF-" + id)->title, "%FF");
    // Not "http" at the start (case-sensitive): the address is built.
    EXPECT_EQ(Reader::parseNotionURL("HTTPS://x/" + id)->url, "https://www.notion.so/" + id);
    // A run of 40 hexadecimal digits: its first 32.
    EXPECT_EQ(Reader::parseNotionURL(id + "ffffffff")->id, kDashed);
    EXPECT_EQ(Reader::parseNotionURL("https://www.notion.so/no-id-here"), std::nullopt);
    EXPECT_EQ(Reader::parseNotionURL(std::string(31, 'a')), std::nullopt);
}

TEST(NotionRules, Record) {
    NotionContext context;
    EXPECT_TRUE(context.isEmpty());
    context.pageUrl = "https://www.notion.so/x";
    context.source = "link";
    EXPECT_TRUE(context.isEmpty());
    context.selectedText = "s";
    EXPECT_FALSE(context.isEmpty());
    const auto json = context.jsonObject();
    EXPECT_EQ(json.size(), 5u);
    EXPECT_EQ(json.at("pageId"), "");
    EXPECT_EQ(json.at("pageUrl"), "https://www.notion.so/x");
    EXPECT_EQ(json.at("selectedText"), "s");
}

// A scripted Notion: Command-L and Command-C put the link and the selection on the
// pasteboard after a reaction time.
class NotionReadTest : public ::testing::Test {
  protected:
    NotionReadTest() {
        platform.workspace.frontmost = notion;
        platform.accessibility.windowTitles[notion.pid] = "Weekly Plan \u2013 Notion";
        platform.keys.onKeyDown = [this](std::uint16_t key, std::uint64_t flags) {
            if ((flags & KeyEvents::commandFlag) == 0) {
                return;
            }
            std::optional<std::string> answer;
            if (key == Reader::keyL) {
                answer = link;
            } else if (key == Reader::keyC) {
                answer = selection;
            }
            if (answer) {
                platform.queue.postAfter(reaction, [this, text = *answer] {
                    platform.pasteboard.copy({{{"text/plain", text}}});
                });
            }
        };
    }

    std::vector<ScriptedKeyEvents::Stroke> strokesOf(std::initializer_list<std::uint16_t> keys) {
        std::vector<ScriptedKeyEvents::Stroke> strokes;
        for (const std::uint16_t key : keys) {
            strokes.push_back({key, true, KeyEvents::commandFlag});
            strokes.push_back({key, false, KeyEvents::commandFlag});
        }
        return strokes;
    }

    fake::FakePlatform platform;
    RunningApplication notion{42, "notion.id", "Notion"};
    std::optional<std::string> link =
        "https://www.notion.so/Weekly-Plan-" + std::string(kId) + "?pvs=4";
    std::optional<std::string> selection = "  selected words \n";
    std::chrono::milliseconds reaction{30};
};

TEST_F(NotionReadTest, FullReadPutsEveryItemAndTypeBack) {
    const std::vector<PasteboardItem> userCopy = {
        {{"text/html", "<b>rich</b>"}, {"text/plain", "rich"}},
        {{"image/png", std::string("\x89PNG\0\1", 6)}},
        {}};
    platform.pasteboard.copy(userCopy);

    const NotionContext context = Reader::read(true, std::nullopt);
    EXPECT_EQ(context, (NotionContext{kDashed, "Weekly Plan", *link, "selected words", "link"}));
    EXPECT_EQ(platform.keys.strokes, strokesOf({Reader::keyL, Reader::keyC}));
    // Items without data are kept as empty items too.
    EXPECT_EQ(platform.pasteboard.items(), userCopy);
}

TEST_F(NotionReadTest, KeystrokesDependOnTrustAndSelection) {
    Reader::read(false, std::nullopt);
    EXPECT_EQ(platform.keys.strokes, strokesOf({Reader::keyL}));

    platform.keys.strokes.clear();
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const NotionContext untrusted = Reader::read(true, std::nullopt);
    EXPECT_TRUE(platform.keys.strokes.empty());
    EXPECT_EQ(untrusted, (NotionContext{"", "Weekly Plan", "", "", "windowTitle"}));
    EXPECT_EQ(Reader::captureLink(), std::nullopt);
    EXPECT_EQ(Reader::captureSelection(500ms), "");
    EXPECT_TRUE(platform.keys.strokes.empty());
}

// The program reads Notion again and again (each time the panel shows); the log says
// why it cannot only when the reason is new, and once when it is gone.
TEST_F(NotionReadTest, SaysOnceWhyAccessibilityIsUnavailable) {
    const testing::LogCapture log;
    const auto accessibilityLines = [&log] {
        std::vector<std::string> lines;
        for (const std::string& message : log.messages()) {
            if (message.starts_with("辅助功能：")) {
                lines.push_back(message);
            }
        }
        return lines;
    };
    const auto readFor = [this](std::chrono::seconds duration) {
        const auto until = platform.queue.now() + duration;
        while (platform.queue.now() < until) {
            Reader::read(true, std::nullopt);
            platform.queue.advance(1s);
        }
    };

    // Trusted from the start: nothing to explain.
    readFor(3s);
    EXPECT_TRUE(accessibilityLines().empty());

    platform.accessibility.status = {UntrustedReason::noSessionBus,
                                     "DBUS_SESSION_BUS_ADDRESS is not set"};
    platform.keys.strokes.clear();
    readFor(10s);
    EXPECT_TRUE(platform.keys.strokes.empty());
    const std::string noSession =
        "辅助功能：不可用（没有 D-Bus 会话总线：DBUS_SESSION_BUS_ADDRESS is not set），"
        "暂时读不到也写不进 Notion";
    EXPECT_EQ(accessibilityLines(), std::vector<std::string>{noSession});

    // Another reason: one more line, whatever its detail says from one look to the next.
    const auto until = platform.queue.now() + 10s;
    for (int look = 0; platform.queue.now() < until; ++look) {
        platform.accessibility.status = {UntrustedReason::noAccessibilityBus,
                                         "org.a11y.Bus: no reply, attempt " + std::to_string(look)};
        EXPECT_FALSE(Reader::isTrusted());
        platform.queue.advance(1s);
    }
    const std::string noBus =
        "辅助功能：不可用（没有 AT-SPI 辅助功能总线：org.a11y.Bus: no reply, attempt 0），"
        "暂时读不到也写不进 Notion";
    EXPECT_EQ(accessibilityLines(), (std::vector<std::string>{noSession, noBus}));

    // The bus appears: said once, and the reads copy again.
    platform.accessibility.status = {};
    readFor(5s);
    EXPECT_EQ(Reader::read(true, std::nullopt).source, "link");
    EXPECT_EQ(accessibilityLines(),
              (std::vector<std::string>{noSession, noBus, "辅助功能：已可用"}));

    // A reason without details.
    platform.accessibility.status = {UntrustedReason::noKeystrokes, ""};
    readFor(5s);
    EXPECT_EQ(accessibilityLines(),
              (std::vector<std::string>{noSession, noBus, "辅助功能：已可用",
                                        "辅助功能：不可用（不能发送按键，没有 XTest），"
                                        "暂时读不到也写不进 Notion"}));
    EXPECT_GE(platform.accessibility.statusQueries, 30);  // asked at every read
}

TEST_F(NotionReadTest, SelectionThatIsAnAddressIsDropped) {
    selection = "https://example.com/page";
    EXPECT_EQ(Reader::read(true, std::nullopt).selectedText, "");
    EXPECT_EQ(Reader::readSelectionFromFrontmost(), "");
    // The prefix test comes before trimming.
    selection = "  http://example.com ";
    EXPECT_EQ(Reader::read(true, std::nullopt).selectedText, "http://example.com");
}

TEST_F(NotionReadTest, WindowTitleAndFallbackRules) {
    link = "not a page link";
    EXPECT_EQ(Reader::read(false, std::nullopt),
              (NotionContext{"", "Weekly Plan", "", "", "windowTitle"}));

    // A link whose segment starts with the id keeps the window title.
    link = "https://www.notion.so/" + std::string(kId);
    EXPECT_EQ(Reader::read(false, std::nullopt).pageTitle, "Weekly Plan");

    // Notion not in front: the fallback application's title is read, but no shortcut is
    // sent (it would reach the terminal); without a fallback, nothing.
    platform.workspace.frontmost = RunningApplication{7, "org.gnome.Terminal", "Terminal"};
    EXPECT_EQ(Reader::frontmostNotion(), std::nullopt);
    EXPECT_EQ(Reader::read(true, std::nullopt), NotionContext{});
    platform.keys.strokes.clear();
    EXPECT_EQ(Reader::read(true, notion),
              (NotionContext{"", "Weekly Plan", "", "", "windowTitle"}));
    EXPECT_TRUE(platform.keys.strokes.empty());
    // The identity is compared exactly.
    platform.workspace.frontmost = RunningApplication{42, "Notion.id", "Notion"};
    EXPECT_EQ(Reader::frontmostNotion(), std::nullopt);

    platform.accessibility.windowTitles.clear();
    link.reset();
    platform.workspace.frontmost = notion;
    EXPECT_EQ(Reader::read(false, std::nullopt), NotionContext{});
}

TEST_F(NotionReadTest, CaptureEndsAtTheFirstPollAfterTheChange) {
    // Notion reacts 30 ms after the key-down. Polling after the 20 ms key pause sees
    // the change at the poll of 40 ms; waiting on the change itself ends at 30 ms.
    auto start = platform.queue.now();
    EXPECT_EQ(Reader::guardedCopy(Reader::keyL, 500ms, Reader::CopyWait::poll), link);
    EXPECT_EQ(platform.queue.now() - start, 40ms);
    start = platform.queue.now();
    EXPECT_EQ(Reader::captureLink(), link);
    EXPECT_EQ(platform.queue.now() - start, 30ms);
    EXPECT_TRUE(platform.pasteboard.items().empty());  // empty before, empty after
}

TEST_F(NotionReadTest, NothingArrivingTimesOutAndRestores) {
    platform.pasteboard.copy({{{"text/plain", "mine"}}});
    link.reset();
    const auto start = platform.queue.now();
    EXPECT_EQ(Reader::captureLink(300ms), std::nullopt);
    EXPECT_GE(platform.queue.now() - start, 300ms);
    EXPECT_LT(platform.queue.now() - start, 360ms);
    EXPECT_EQ(platform.pasteboard.items(), (std::vector<PasteboardItem>{{{"text/plain", "mine"}}}));

    // A change without plain text ends the wait with nothing.
    platform.keys.onKeyDown = [this](std::uint16_t, std::uint64_t) {
        platform.pasteboard.copy({{{"image/png", "png"}}});
    };
    const auto imageStart = platform.queue.now();
    EXPECT_EQ(Reader::captureLink(), std::nullopt);
    EXPECT_LT(platform.queue.now() - imageStart, 100ms);
    EXPECT_EQ(platform.pasteboard.items(), (std::vector<PasteboardItem>{{{"text/plain", "mine"}}}));

    // No keystroke possible: nothing is sent, the wait still runs out.
    platform.keys.postable = false;
    platform.keys.strokes.clear();
    EXPECT_EQ(Reader::captureSelection(100ms), "");
    EXPECT_TRUE(platform.keys.strokes.empty());
}

}  // namespace
}  // namespace pagemate
