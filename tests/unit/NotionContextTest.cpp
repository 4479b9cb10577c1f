// Reading Notion: its titles and links, and the guarded copies against a scripted Notion
// on the virtual clock.

#include <gtest/gtest.h>

#include "harness/ScriptedNotion.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
namespace Reader = NotionContextReader;

const std::string& kId = testing::kPageId;
constexpr const char* kDashed = testing::kDashedPageId;

TEST(NotionRules, TitlesAndLinks) {
    for (const auto& [title, clean] : std::vector<std::pair<std::string, std::string>>{
             {"Project Plan \u2013 Notion", "Project Plan"},
             {"Project Plan \u2014 Notion", "Project Plan"},
             {"Notes \u2013 Notion.so", "Notes"},
             {"A \u2013 Notion \u2013 Notion", "A \u2013 Notion"},
             {"A \u2013 notion", "A \u2013 notion"},
             {"  周报  \u2013 Notion", "周报"}}) {
        EXPECT_EQ(Reader::cleanTitle(title), clean);
    }
    using Parsed = Reader::ParsedNotionURL;
    const std::string link = "https://www.notion.so/team/Weekly-Plan-" + kId + "?pvs=4#x";
    const std::string upper = "ABCDEF0123456789ABCDEF0123456789";
    const struct {
        std::string text;
        std::optional<Parsed> parsed;
    } cases[] = {
        {"  " + link + "\n", Parsed{kDashed, link, "Weekly Plan"}},
        {kId, Parsed{kDashed, "https://www.notion.so/" + kId, ""}},
        // The first of two runs; upper case kept in the id and in the built address.
        {"page " + upper + " then " + kId,
         Parsed{"ABCDEF01-2345-6789-ABCD-EF0123456789", "https://www.notion.so/" + upper, ""}},
        // A segment that starts with the id has no title.
        {"https://www.notion.so/" + kId + "?v=1",
         Parsed{kDashed, "https://www.notion.so/" + kId + "?v=1", ""}},
        // Dashes and spaces trimmed, hyphens become spaces, percent-encoding undone; a bad
        // escape keeps the text as it was before decoding.
        {"https://x/--%E5%91%A8-%E6%8A%A5 \u2013" + kId,
         Parsed{kDashed, "https://x/--%E5%91%A8-%E6%8A%A5 \u2013" + kId, "周 报"}},
        {"https://x/100%-done-" + kId, Parsed{kDashed, "https://x/100%-done-" + kId, "100% done"}},
        {"https://x/%FF-" + kId, Parsed{kDashed, "https://x/%FF-" + kId, "%FF"}},
        // Not "http" at the start (case-sensitive): the address is built.
        {"HTTPS://x/" + kId, Parsed{kDashed, "https://www.notion.so/" + kId, ""}},
        {"https://www.notion.so/no-id-here", std::nullopt},
        {std::string(31, 'a'), std::nullopt},
    };
    for (const auto& [text, parsed] : cases) {
        EXPECT_EQ(Reader::parseNotionURL(text), parsed) << text;
    }
}

class NotionReadTest : public testing::ScriptedNotionTest {
  protected:
    NotionReadTest() {
        platform.workspace.frontmost = notion;
        platform.accessibility.windowTitles[notion.pid] = "Weekly Plan \u2013 Notion";
        link = "https://www.notion.so/Weekly-Plan-" + kId + "?pvs=4";
        selection = "  selected words \n";
    }
};

TEST_F(NotionReadTest, FullReadPutsEveryItemAndTypeBack) {
    const std::vector<PasteboardItem> userCopy = {
        {{"text/html", "<b>rich</b>"}, {"text/plain", "rich"}},
        {{"image/png", std::string("\x89PNG\0\1", 6)}},
        {}};  // items without data are kept as empty items too
    platform.pasteboard.copy(userCopy);
    EXPECT_EQ(Reader::read(true, std::nullopt),
              (NotionContext{kDashed, "Weekly Plan", *link, "selected words", "link"}));
    EXPECT_EQ(platform.keys.strokes, strokesOf({Reader::keyL, Reader::keyC}));
    EXPECT_EQ(platform.pasteboard.items(), userCopy);

    // An address copied as the selection is no selection (the test comes before trimming).
    selection = "https://example.com/page";
    EXPECT_EQ(Reader::read(true, std::nullopt).selectedText, "");
    selection = "  http://example.com ";
    EXPECT_EQ(Reader::read(true, std::nullopt).selectedText, "http://example.com");

    // The window's title when the link says nothing of it.
    const NotionContext byTitle{"", "Weekly Plan", "", "", "windowTitle"};
    link = "not a page link";
    EXPECT_EQ(Reader::read(false, std::nullopt), byTitle);
    link = "https://www.notion.so/" + kId;  // its segment starts with the id
    EXPECT_EQ(Reader::read(false, std::nullopt).pageTitle, "Weekly Plan");

    // Without the permission, or with Notion not in front, no key is sent (it would reach
    // the terminal): the title is read, of the fallback application's window if need be.
    platform.keys.strokes.clear();
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    EXPECT_EQ(Reader::read(true, std::nullopt), byTitle);
    platform.accessibility.status = {};
    platform.workspace.frontmost = RunningApplication{7, "org.gnome.Terminal", "Terminal"};
    EXPECT_EQ(Reader::read(true, std::nullopt), NotionContext{});
    EXPECT_EQ(Reader::read(true, notion), byTitle);
    EXPECT_TRUE(platform.keys.strokes.empty());
    platform.workspace.frontmost = RunningApplication{42, "Notion.id", "Notion"};
    EXPECT_EQ(Reader::frontmostNotion(), std::nullopt);  // the identity compared exactly
}

TEST_F(NotionReadTest, CopiesEndAtTheChangeOrTheirTimeOutAndPutThePasteboardBack) {
    // Notion reacts 30 ms after the key-down. Polling after the 20 ms key pause sees
    // the change at the poll of 40 ms; waiting on the change itself ends at 30 ms.
    auto start = platform.queue.now();
    EXPECT_EQ(Reader::guardedCopy(Reader::keyL, 500ms, Reader::CopyWait::poll), link);
    EXPECT_EQ(platform.queue.now() - start, 40ms);
    start = platform.queue.now();
    EXPECT_EQ(Reader::captureLink(), link);
    EXPECT_EQ(platform.queue.now() - start, 30ms);
    EXPECT_TRUE(platform.pasteboard.items().empty());  // empty before, empty after

    // Nothing arrives: a read gives each copy 0.7 s (after its 20 ms key pause).
    platform.pasteboard.copy({{{"text/plain", "mine"}}});
    link.reset();
    start = platform.queue.now();
    EXPECT_EQ(Reader::read(false, std::nullopt).source, "windowTitle");
    EXPECT_GE(platform.queue.now() - start, 20ms + 700ms);
    EXPECT_LT(platform.queue.now() - start, 20ms + 700ms + 20ms);
    EXPECT_EQ(platform.pasteboard.string(), "mine");

    // A change without plain text ends the wait with nothing.
    platform.keys.onKeyDown = [this](std::uint16_t, std::uint64_t) {
        platform.pasteboard.copy({{{"image/png", "png"}}});
    };
    start = platform.queue.now();
    EXPECT_EQ(Reader::captureLink(), std::nullopt);
    EXPECT_LT(platform.queue.now() - start, 100ms);
    EXPECT_EQ(platform.pasteboard.string(), "mine");

    // No keystroke possible: nothing is sent, the wait still runs out.
    platform.keys.postable = false;
    platform.keys.strokes.clear();
    EXPECT_EQ(Reader::captureSelection(100ms), "");
    EXPECT_TRUE(platform.keys.strokes.empty());
}

}  // namespace
}  // namespace pagemate
