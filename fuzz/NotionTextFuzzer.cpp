// What Notion hands the program as text: the page's window title (read through the
// accessibility bus) and the link it copies for Control-L, alone and through the whole
// reading of a page on the fake platform.
//
// Input: a mode byte, then for the pure functions the text itself; for a whole
// reading, the window title, the copied link and the copied selection, separated by
// NUL bytes. Beyond the sanitizers it checks the shapes the rest of the program relies
// on: a dashed 36-character id of hexadecimal digits, text that stays UTF-8, and a
// context the page can be sent.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"
#include "support/Utf8.h"
#include "web/HostBridge.h"

namespace pagemate::fuzz {
namespace {

using namespace std::chrono_literals;
namespace Reader = NotionContextReader;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    (void)std::fprintf(stderr, "notion_text: %s: %.*s\n", what, static_cast<int>(detail.size()),
                       detail.data());
    std::abort();
}

void checkDashedId(std::string_view id) {
    if (id.size() != 36) {
        fail("page id is not 36 characters", id);
    }
    for (std::size_t index = 0; index < id.size(); ++index) {
        const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
        if (dash ? id[index] != '-' : std::isxdigit(static_cast<unsigned char>(id[index])) == 0) {
            fail("page id is not dashed hexadecimal", id);
        }
    }
}

void pureFunctions(std::string_view text) {
    const bool utf8 = isValidUtf8(text);
    const std::string title = Reader::cleanTitle(text);
    if (utf8 && !isValidUtf8(title)) {
        fail("cleaned title is no UTF-8", title);
    }
    if (title.size() > text.size()) {
        fail("cleaned title grew", title);
    }
    if (const auto parsed = Reader::parseNotionURL(text)) {
        checkDashedId(parsed->id);
        if (utf8 && (!isValidUtf8(parsed->title) || !isValidUtf8(parsed->url))) {
            fail("parsed link is no UTF-8", parsed->title);
        }
        if (!parsed->url.starts_with("http")) {
            fail("parsed address is no web address", parsed->url);
        }
    }
    const std::string dashed = Reader::dash(text);
    if (text.size() == 32 && dashed.size() != 36) {
        fail("dashed id of 32 characters is not 36", dashed);
    }
}

// The whole reading of the current page, with Notion in front answering the copy keys.
void wholeReading(std::string_view title, std::string_view link, std::string_view selection,
                  std::uint8_t mode) {
    fake::FakePlatform platform;
    const RunningApplication notion{42, "notion.id", "Notion"};
    platform.workspace.frontmost = notion;
    platform.workspace.running = {notion};
    platform.accessibility.windowTitles[notion.pid] = std::string(title);
    if ((mode & 2) != 0) {
        platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    }
    platform.keys.onKeyDown = [&](std::uint16_t key, std::uint64_t flags) {
        if ((flags & KeyEvents::commandFlag) == 0) {
            return;
        }
        const std::string_view answer = key == Reader::keyL ? link : selection;
        if (key == Reader::keyL || key == Reader::keyC) {
            platform.queue.postAfter(20ms, [&platform, text = std::string(answer)] {
                platform.pasteboard.copy({{{"text/plain", text}}});
            });
        }
    };
    const NotionContext context = Reader::read((mode & 4) != 0, std::nullopt);
    if (!context.pageId.empty()) {
        checkDashedId(context.pageId);
    }
    const bool utf8 = isValidUtf8(title) && isValidUtf8(link) && isValidUtf8(selection);
    if (utf8 && !HostBridge::guardedCall(HostBridge::panelBridge, "onContext",
                                         HostBridge::contextObject(context))) {
        fail("context of UTF-8 text cannot be sent to the page", context.pageTitle);
    }
    platform.queue.runUntilIdle();
}

}  // namespace
}  // namespace pagemate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pagemate;
    fuzz::QuietLog& log = fuzz::quietLog();
    fuzz::ByteReader input(data, size);
    const std::uint8_t mode = input.byte();
    if ((mode & 1) == 0) {
        fuzz::pureFunctions(input.rest());
    } else {
        const std::string_view title = input.field();
        const std::string_view link = input.field();
        fuzz::wholeReading(title, link, input.rest(), mode);
    }
    log.clear();
    return 0;
}
