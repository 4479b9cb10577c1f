// Writing into a scripted Notion on the virtual clock.

#include <gtest/gtest.h>

#include "harness/ScriptedNotion.h"
#include "notion/TextInsertion.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class TextInsertionTest : public testing::ScriptedNotionTest {
  protected:
    TextInsertionTest() {
        platform.workspace.frontmost = notion;
        platform.pasteboard.copy(userCopy);
    }

    std::vector<PasteboardItem> userCopy = {{{"text/html", "<i>x</i>"}, {"text/plain", "x"}}};
};

TEST_F(TextInsertionTest, PasteIntoNotionAndRestoreWhatTheUserHadLater) {
    const auto start = platform.queue.now();
    EXPECT_EQ(TextInsertion::insert("回答", notion), InsertOutcome(Inserted{"粘贴"}));
    EXPECT_TRUE(platform.workspace.activations.empty());  // already in front
    EXPECT_EQ(platform.keys.strokes, strokesOf({NotionContextReader::keyV}));
    EXPECT_EQ(platform.queue.now() - start, 150ms + 25ms);
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"插入：切换到 Notion → 成功", "插入：已发送 ⌘V"}));
    platform.queue.advance(799ms);
    EXPECT_EQ(platform.pasteboard.string(), "回答");
    platform.queue.advance(1ms);
    EXPECT_EQ(platform.pasteboard.items(), userCopy);

    // What the user copies meanwhile survives.
    ASSERT_TRUE(TextInsertion::pasteViaClipboard("回答"));
    platform.queue.advance(400ms);
    const std::vector<PasteboardItem> newer = {{{"text/plain", "copied by the user"}}};
    platform.pasteboard.copy(newer);
    platform.queue.advance(1s);
    EXPECT_EQ(platform.pasteboard.items(), newer);

    // Nothing to insert, or no permission: nothing is touched.
    platform.workspace.frontmost.reset();
    const long before = platform.pasteboard.changeCount();
    platform.keys.strokes.clear();
    EXPECT_EQ(TextInsertion::insert("", notion), InsertOutcome(InsertFailed{"没有可插入的内容"}));
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    EXPECT_EQ(TextInsertion::insert("answer", notion),
              InsertOutcome(InsertFailed{std::string(TextInsertion::permissionMessage)}));
    EXPECT_TRUE(platform.workspace.activations.empty());
    EXPECT_TRUE(platform.keys.strokes.empty());
    EXPECT_EQ(platform.pasteboard.changeCount(), before);
}

TEST_F(TextInsertionTest, ActivationPollsThenAccessibilityIsTriedThreeTimes) {
    platform.workspace.frontmost = other;
    platform.workspace.onActivate = [this](const RunningApplication& application) {
        platform.queue.postAfter(
            120ms, [this, application] { platform.workspace.frontmost = application; });
    };
    auto start = platform.queue.now();
    EXPECT_TRUE(TextInsertion::activate(notion));
    EXPECT_EQ(platform.queue.now() - start, 150ms);  // the 50 ms poll after 120 ms

    // Notion never comes to the front: 2 s, then three refused writes 0.25 s apart.
    platform.workspace.frontmost = other;
    platform.workspace.onActivate = {};
    start = platform.queue.now();
    const testing::LogCapture failed;
    EXPECT_EQ(TextInsertion::insert("回答", notion),
              InsertOutcome(InsertFailed{std::string(TextInsertion::activationMessage)}));
    EXPECT_TRUE(platform.keys.strokes.empty());
    EXPECT_EQ(platform.queue.now() - start, 2000ms + 2 * 250ms);
    const std::string refused = "AX 插入：焦点元素不允许写入选中文本（Notion 编辑器常见）";
    EXPECT_EQ(failed.messages(),
              (std::vector<std::string>{"插入：切换到 Notion → 失败", refused, refused, refused}));
    EXPECT_EQ(platform.pasteboard.items(), userCopy);  // never touched

    // A write that reports an error counts as failed, and is logged with its code.
    platform.accessibility.focusedElement = true;
    platform.accessibility.settable = true;
    platform.accessibility.writeResult = Accessibility::failure;
    EXPECT_EQ(TextInsertion::insert("回答", notion),
              InsertOutcome(InsertFailed{std::string(TextInsertion::activationMessage)}));
    EXPECT_EQ(platform.accessibility.writes.size(), 3u);
    EXPECT_TRUE(failed.contains("AX 插入：写入结果 -25200"));
}

TEST_F(TextInsertionTest, NoKeystrokesMeansAccessibilityWriteAndTextStaysOnThePasteboard) {
    platform.keys.postable = false;
    platform.accessibility.settable = true;
    EXPECT_EQ(TextInsertion::insert("回答", notion), InsertOutcome(Inserted{"辅助功能写入"}));
    EXPECT_EQ(platform.accessibility.writes, std::vector<std::string>{"回答"});
    EXPECT_TRUE(log.contains("AX 插入：写入结果 0"));
    platform.queue.advance(2s);
    EXPECT_EQ(platform.pasteboard.string(), "回答");

    // Paste not sent and every write refused: the message about the cursor.
    platform.accessibility.focusedElement = false;
    EXPECT_EQ(TextInsertion::insert("回答", notion),
              InsertOutcome(InsertFailed{std::string(TextInsertion::pasteMessage)}));
    EXPECT_TRUE(log.contains("AX 插入：拿不到焦点元素"));
}

}  // namespace
}  // namespace pagemate
