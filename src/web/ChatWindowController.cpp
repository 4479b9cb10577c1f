#include "web/ChatWindowController.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/AppLog.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Url.h"

namespace pagemate {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPageTimeout{15000};
// Moves and resizes arrive many times a second while the user drags; the frame is
// written once the window has been still for this long.
constexpr milliseconds kFrameSaveDelay{500};
// No desktop is this large; window systems keep frames in 32-bit integers, which a
// stored frame beyond this could overflow.
constexpr double kLargestCoordinate = 1'000'000;

constexpr std::string_view kLayoutRules =
    "html,body{height:100%}"
    "body{background:var(--panel-2,#f7f7f5)}"
    ".app{height:100vh !important;max-height:none !important;min-height:0 !important;"
    "max-width:880px;margin:0 auto;box-shadow:0 0 0 1px rgba(0,0,0,.06)}"
    ".transcript{max-height:none !important}";

bool intersects(const Rect& a, const Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

}  // namespace

std::shared_ptr<ChatWindowController> ChatWindowController::create() {
    auto controller = std::make_shared<ChatWindowController>();
    const std::weak_ptr<ChatWindowController> weakController = controller;
    controller->window_->setFrameObserver([weakController] {
        if (const auto self = weakController.lock()) {
            self->frameChanged();
        }
    });
    return controller;
}

ChatWindowController::ChatWindowController() {
    DocumentWindowOptions options;
    options.title = "页伴";
    options.contentRect = Rect{0, 0, 960, 740};
    options.minWidth = minWidth;
    options.minHeight = minHeight;
    options.documentEndScripts = {layoutStyleScript()};
    // The panel's store: the page keeps one set of cookies and storage in both windows.
    options.webDataName = "webdata";
    window_ = Platform::current().windows->createDocumentWindow(options);
    restoreFrame();
}

std::string ChatWindowController::layoutStyleScript() {
    return "(function () {\n"
           "  var style = document.createElement(\"style\");\n"
           "  style.textContent = " +
           nlohmann::json(std::string(kLayoutRules)).dump() +
           ";\n"
           "  (document.head || document.documentElement).appendChild(style);\n"
           "})();";
}

void ChatWindowController::show(const std::string& base) {
    const std::string trimmed(trimCharacter(base, '/'));
    if (trimmed.empty()) {
        return;
    }
    if (trimmed != loadedBase_) {
        loadedBase_ = trimmed;
        const std::string url = trimmed + "/panel";
        if (isAbsoluteURL(url)) {
            AppLog::write("大窗口加载：" + url);
            window_->webView().loadURL(url, kPageTimeout);
        }
    }
    Platform::current().windows->activateSelf();
    window_->makeKeyAndOrderFront();
}

void ChatWindowController::toggle(const std::string& base) {
    if (window_->isVisible() && window_->isKey()) {
        window_->orderOut();
        return;
    }
    show(base);
}

bool ChatWindowController::isVisible() const {
    return window_->isVisible();
}

std::string ChatWindowController::formatFrame(const Rect& frame) {
    const auto number = [](double value) { return std::to_string(std::lround(value)); };
    return number(frame.x) + " " + number(frame.y) + " " + number(frame.width) + " " +
           number(frame.height);
}

std::optional<Rect> ChatWindowController::parseFrame(std::string_view text) {
    std::array<double, 4> values{};
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (double& value : values) {
        while (at < end && *at == ' ') {
            ++at;
        }
        const auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || !std::isfinite(value) ||
            std::fabs(value) > kLargestCoordinate) {
            return std::nullopt;
        }
        at = next;
    }
    if (at != end || values[2] <= 0 || values[3] <= 0) {
        return std::nullopt;
    }
    return Rect{values[0], values[1], values[2], values[3]};
}

void ChatWindowController::restoreFrame() {
    Platform& platform = Platform::current();
    std::optional<Rect> stored;
    if (const auto value = platform.preferences->value(frameName)) {
        if (const auto* text = std::get_if<std::string>(&*value)) {
            stored = parseFrame(*text);
        }
    }
    const std::vector<Screen> screens = platform.windows->screens();
    if (stored) {
        stored->width = std::max(stored->width, minWidth);
        stored->height = std::max(stored->height, minHeight);
        // A frame left on a screen that is gone would put the window out of reach.
        const bool reachable =
            screens.empty() || std::any_of(screens.begin(), screens.end(), [&](const Screen& s) {
                return intersects(*stored, s.visibleFrame);
            });
        if (reachable) {
            window_->setFrame(*stored);
            return;
        }
    }
    Rect frame = window_->frame();
    if (const std::optional<Screen> screen = platform.windows->mainScreen()) {
        const Rect& visible = screen->visibleFrame;
        frame.x = std::round(visible.midX() - frame.width / 2);
        frame.y = std::round(visible.y + (visible.height - frame.height) / 2);
        window_->setFrame(frame);
    }
}

void ChatWindowController::frameChanged() {
    const unsigned change = ++frameChanges_;
    const std::weak_ptr<ChatWindowController> weakSelf = weak_from_this();
    Platform::current().mainQueue->postAfter(kFrameSaveDelay, [weakSelf, change] {
        if (const auto self = weakSelf.lock(); self && self->frameChanges_ == change) {
            self->saveFrame();
        }
    });
}

void ChatWindowController::saveFrame() {
    Platform::current().preferences->setValue(frameName, formatFrame(window_->frame()));
}

}  // namespace pagemate
