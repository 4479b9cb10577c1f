#include "web/QuickBarController.h"

#include <algorithm>
#include <cmath>

#include "base/AppLog.h"
#include "base/NetworkErrorText.h"
#include "base/Settings.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/Platform.h"
#include "support/Url.h"
#include "support/Utf8.h"
#include "web/ServiceResolver.h"

namespace pagemate {

namespace {

using std::chrono::milliseconds;
namespace Reader = NotionContextReader;

constexpr milliseconds kPageTimeout{15000};
constexpr milliseconds kSelectionTimeout{350};
constexpr milliseconds kLinkTimeout{500};
constexpr milliseconds kFailedApplyDelay{200};
constexpr milliseconds kRecaptureActivation{1000};
constexpr milliseconds kRecapturePause{150};
constexpr milliseconds kRecaptureSelection{400};
constexpr milliseconds kSelfTestLimit{10000};
constexpr milliseconds kSelfTestSettle{1200};

// Samples the page for the self-test, as JSON text.
constexpr const char* kProbeScript = R"JS((function () {
  var boot = window.__PGM_BOOTSTRAP__ || {};
  var body = document.body ? document.body.innerText || "" : "";
  return JSON.stringify({
    title: document.title,
    hasInput: !!document.querySelector("input"),
    bridge: typeof window.PGM_QUICK_BRIDGE,
    host: typeof window.PGM_HOST,
    bootstrap: typeof window.__PGM_BOOTSTRAP__,
    selectionChars: boot.selectionChars,
    errors: window.__PGM_ERRORS || [],
    bodyText: Array.from(body).slice(0, 200).join("")
  });
})())JS";

constexpr const char* kConfigProbe = R"JS(
const boot = window.__PGM_BOOTSTRAP__ || {};
const response = await fetch("/api/config", { headers: { "x-app-password": boot.password || "" } });
return { status: response.status };
)JS";

bool isNotion(const RunningApplication& application) {
    return application.bundleIdentifier == Reader::notionBundleID;
}

std::optional<RunningApplication> firstRunningNotion(
    const std::vector<RunningApplication>& running) {
    const auto found = std::find_if(running.begin(), running.end(), isNotion);
    return found == running.end() ? std::nullopt : std::optional(*found);
}

std::unique_ptr<PanelWindow> makeBar() {
    QuickBarOptions options;
    options.title = "页伴";
    options.contentRect = Rect{0, 0, QuickBarController::width, QuickBarController::initialHeight};
    options.minHeight = QuickBarController::minHeight;
    options.maxHeight = QuickBarController::maxHeight;
    options.webDataName = "webdata";
    return Platform::current().windows->createQuickBar(options);
}

}  // namespace

QuickBarController::QuickBarController()
    : page_(makeBar(), HostBridge::Host::quickBar, true),
      selfTest_({kProbeScript, kConfigProbe, "无法读取页面状态"}) {
    page_.events.finished = [this] { pageFinished(); };
    page_.events.failedProvisional = [](const NetworkError& error) {
        AppLog::write("快速条：加载失败 " + networkErrorText(error));
    };
    // Writing back and recapturing run the loop while they wait for Notion: the bar is
    // kept alive through them.
    page_.on("apply", [this](const HostBridge::Message& message) {
        const auto keepAlive = weak_from_this().lock();
        applyResult(message.string("text"));
    });
    page_.on("recapture", [this](const HostBridge::Message&) {
        const auto keepAlive = weak_from_this().lock();
        recapture();
    });
    page_.on("expand", [this](const HostBridge::Message& message) {
        const std::string draft = message.draft();
        window().orderOut();
        if (onExpand) {
            onExpand(draft);
        }
    });
    page_.on("hide", [this](const HostBridge::Message&) { window().orderOut(); });
    page_.on("resize", [this](const HostBridge::Message& message) { resize(message.height()); });
    page_.on("status", [this](const HostBridge::Message& message) {
        if (onStatusChange) {
            onStatusChange(message.string("text"));
        }
    });
}

namespace {

// `frame` moved the least that keeps it inside the visible frame, 8 points from its
// sides and bottom and `topMargin` from its top (the top and left edges win on a screen
// too small for it): never under a dock or a tray.
Rect keptInside(Rect frame, const Rect& visible, double topMargin) {
    constexpr double kMargin = 8;
    frame.x = std::max(std::min(frame.x, visible.x + visible.width - frame.width - kMargin),
                       visible.x + kMargin);
    frame.y =
        std::min(std::max(frame.y, visible.y + kMargin), visible.maxY() - frame.height - topMargin);
    return frame;
}

}  // namespace

Rect QuickBarController::cursorPlacement(double x, double y, const Rect& visible, double height) {
    double bottom = y - height - 10;  // hanging just below the click
    if (bottom < visible.y + 8) {
        bottom = y + 18;  // no room: above it
    }
    return keptInside(Rect{x - 40, bottom, width, height}, visible, 8);
}

Rect QuickBarController::statusItemPlacement(const std::optional<Rect>& statusItem,
                                             const Rect& visible, double height) {
    if (!statusItem) {
        return Rect{visible.x + visible.width - width - 12, visible.maxY() - height - 12, width,
                    height};
    }
    double bottom = statusItem->y - height - 6;  // hanging below the icon of a top bar
    if (bottom < visible.y + 8) {
        bottom = statusItem->maxY() + 6;  // a tray at the bottom: above it
    }
    // Right under a top bar's icon, the bar may reach the visible frame's top edge.
    return keptInside(Rect{statusItem->midX() - width / 2, bottom, width, height}, visible, 0);
}

std::optional<double> QuickBarController::resizedHeight(double requested, double current) {
    if (requested <= 30) {
        return std::nullopt;
    }
    const double next = std::min(std::max(requested, minHeight), maxHeight);
    if (std::fabs(next - current) <= 2) {
        return std::nullopt;
    }
    return next;
}

void QuickBarController::toggle() {
    if (window().isVisible()) {
        hide();
    } else {
        show();
    }
}

void QuickBarController::hide() {
    window().orderOut();
}

void QuickBarController::show() {
    capture();
    position();
    injectBootstrap();
    loadIfNeeded();
    window().orderFront();
    Platform::current().windows->activateSelf();
    pushContext();
    AppLog::write("快速条：已显示（选中 " + std::to_string(characterCount(selection_)) +
                  " 字，页面「" + pageTitle_ + "」）");
}

void QuickBarController::capture() {
    targetApp_ = Platform::current().workspace->frontmostApplication();
    selection_.clear();
    pageTitle_.clear();
    pageId_.clear();
    pageUrl_.clear();
    if (!targetApp_ || !isNotion(*targetApp_)) {
        return;
    }
    if (const std::optional<std::string> title = Reader::windowTitle(targetApp_->pid)) {
        pageTitle_ = Reader::cleanTitle(*title);
    }
    selection_ = Reader::captureSelection(kSelectionTimeout);
    if (!selection_.empty()) {
        return;  // Notion still has it selected: copying the link would not help
    }
    const std::optional<std::string> link = Reader::captureLink(kLinkTimeout);
    if (!link || link->empty()) {
        return;
    }
    if (const std::optional<Reader::ParsedNotionURL> parsed = Reader::parseNotionURL(*link)) {
        pageId_ = parsed->id;
        pageUrl_ = parsed->url;
        if (!parsed->title.empty()) {
            pageTitle_ = parsed->title;
        }
    }
}

void QuickBarController::position() {
    if (Settings::shared().quickBarFollowsCursor() && lastMouseUp_) {
        const auto [x, y] = *lastMouseUp_;
        for (const Screen& screen : Platform::current().windows->screens()) {
            if (screen.frame.contains(x, y)) {
                window().setFrame(cursorPlacement(x, y, screen.visibleFrame, height_));
                return;
            }
        }
    }
    positionUnderStatusItem();
}

void QuickBarController::positionUnderStatusItem() {
    const std::optional<Screen> screen = Platform::current().windows->mainScreen();
    const Rect visible = screen ? screen->visibleFrame : Rect{};
    const std::optional<Rect> statusItem = statusItemFrame ? statusItemFrame() : std::nullopt;
    window().setFrame(statusItemPlacement(statusItem, visible, height_));
}

HostBridge::QuickBarBootstrap QuickBarController::captured() const {
    HostBridge::QuickBarBootstrap values;
    values.selection = selection_;
    values.pageId = pageId_;
    values.pageTitle = pageTitle_;
    values.pageUrl = pageUrl_;
    values.appName = targetApp_ ? targetApp_->localizedName : "";
    return values;
}

void QuickBarController::injectBootstrap() {
    const Settings& settings = Settings::shared();
    HostBridge::QuickBarBootstrap values = captured();
    values.serverUrl = baseURL();
    values.password = settings.password();
    values.model = settings.model();
    (void)page_.setBootstrap(HostBridge::quickBarBootstrapObject(values));
}

void QuickBarController::loadIfNeeded() {
    if (!page_.loadOnce(baseURL() + "/quick", kPageTimeout)) {
        page_.view().reload();  // the page sees the new bootstrap
    }
}

void QuickBarController::pushContext() {
    page_.call("onContext", HostBridge::quickBarContextObject(captured()));
}

void QuickBarController::applyResult(const std::string& text) {
    if (text.empty()) {
        page_.sendEvent({{"type", "applyFailed"}, {"message", "没有可写回的内容"}});
        return;
    }
    const std::vector<RunningApplication> running =
        Platform::current().workspace->runningApplications();
    // The Notion the bar was called on, as long as it still runs.
    std::optional<RunningApplication> target;
    if (targetApp_ && isNotion(*targetApp_) &&
        std::any_of(running.begin(), running.end(), [&](const RunningApplication& application) {
            return application.pid == targetApp_->pid && isNotion(application);
        })) {
        target = targetApp_;
    } else {
        target = firstRunningNotion(running);
    }
    if (!target) {
        page_.sendEvent({{"type", "applyFailed"}, {"message", "没有找到 Notion"}});
        return;
    }
    window().orderOut();
    // With a captured selection the paste replaces it: Notion still has it selected.
    const InsertOutcome outcome = TextInsertion::insert(text, *target);
    if (const auto* inserted = std::get_if<Inserted>(&outcome)) {
        AppLog::write("快速条：已写回（" + inserted->road + "，" +
                      (selection_.empty() ? "插入光标处" : "替换选中") + "）");
        return;
    }
    const std::string message = std::get<InsertFailed>(outcome).message;
    AppLog::write("快速条：写回失败 —— " + message);
    const std::weak_ptr<QuickBarController> weakSelf = weak_from_this();
    Platform::current().mainQueue->postAfter(kFailedApplyDelay, [weakSelf, message] {
        if (const auto self = weakSelf.lock()) {
            // Back in front for the message; the program is not activated again.
            self->window().orderFront();
            self->page_.sendEvent({{"type", "applyFailed"}, {"message", message}});
        }
    });
}

void QuickBarController::recapture() {
    Platform& platform = Platform::current();
    std::optional<RunningApplication> target = targetApp_;
    if (!target) {
        target = firstRunningNotion(platform.workspace->runningApplications());
    }
    if (!target) {
        return;
    }
    window().orderOut();
    (void)TextInsertion::activate(*target, kRecaptureActivation);
    platform.mainQueue->sleepFor(kRecapturePause);
    selection_ = Reader::captureSelection(kRecaptureSelection);
    if (const std::optional<std::string> title = Reader::windowTitle(target->pid)) {
        pageTitle_ = Reader::cleanTitle(*title);
    }
    window().orderFront();
    platform.windows->activateSelf();
    pushContext();
    AppLog::write("快速条：重新捕获，选中 " + std::to_string(characterCount(selection_)) + " 字");
}

void QuickBarController::resize(double requested) {
    const std::optional<double> next = resizedHeight(requested, height_);
    if (!next) {
        return;
    }
    height_ = *next;
    page_.setHeightKeepingTop(height_);
}

void QuickBarController::startTrackingCursor() {
    if (trackingCursor_) {
        return;
    }
    trackingCursor_ = true;
    const std::weak_ptr<QuickBarController> weakSelf = weak_from_this();
    Platform::current().windows->setMouseUpObserver([weakSelf](double x, double y) {
        if (const auto self = weakSelf.lock()) {
            self->noteMouseUp(x, y);
        }
    });
}

void QuickBarController::pageFinished() {
    AppLog::write("快速条：页面加载完成");
    pushContext();
    page_.sendEvent({{"type", "focus"}});
    selfTest_.pageLoaded(page_.view(), kSelfTestSettle);
}

void QuickBarController::runWebSelfTest(std::function<void(nlohmann::json)> completion) {
    const std::weak_ptr<QuickBarController> weakSelf = weak_from_this();
    // Whatever the page gave, the report adds what the bar captured.
    selfTest_.begin(
        [weakSelf, completion = std::move(completion)](nlohmann::json result) {
            nlohmann::json report =
                result.is_object() ? std::move(result) : nlohmann::json::object();
            if (const auto self = weakSelf.lock()) {
                report["selection"] = self->selection_;
                report["pageTitle"] = self->pageTitle_;
                report["pageId"] = self->pageId_;
            }
            report["accessibilityTrusted"] = Reader::isTrusted();
            completion(std::move(report));
        },
        kSelfTestLimit, {{"error", "超时：页面没有在 10 秒内加载完成"}});
    show();
}

}  // namespace pagemate
