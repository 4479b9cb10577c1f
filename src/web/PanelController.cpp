#include "web/PanelController.h"

#include <algorithm>
#include <cmath>

#include "app/AppLog.h"
#include "app/Settings.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Url.h"
#include "support/Utf8.h"
#include "web/HostBridge.h"
#include "web/NetworkErrorText.h"
#include "web/PageSample.h"
#include "web/PanelFailurePage.h"

namespace pagemate {

namespace {

using std::chrono::milliseconds;

constexpr double kMinHeight = 320;
constexpr milliseconds kPageTimeout{15000};
constexpr milliseconds kFailInsertDelay{200};
constexpr milliseconds kSelfTestLimit{12000};
constexpr milliseconds kSelfTestSettle{1500};

std::string htmlEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

void replaceAll(std::string& text, std::string_view placeholder, const std::string& value) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
}

// Samples the page for the self-test, as JSON text.
constexpr const char* kProbeScript = R"JS((function () {
  var body = document.body ? document.body.innerText || "" : "";
  return JSON.stringify({
    title: document.title,
    hasComposer: !!(document.querySelector("#composer") || document.querySelector("textarea")),
    hasMessages: !!(document.querySelector("#messages") || document.querySelector(".pgm-messages")),
    markdownRenderer: typeof window.PGM_MD,
    hostBridge: typeof window.PGM_HOST_BRIDGE,
    hostObject: typeof window.PGM_HOST,
    bootstrap: typeof window.__PGM_BOOTSTRAP__,
    errors: window.__PGM_ERRORS || [],
    bodyChars: body.length,
    bodyText: body.slice(0, 240)
  });
})())JS";

constexpr const char* kConfigProbe = R"JS(
const boot = window.__PGM_BOOTSTRAP__ || {};
const response = await fetch("/api/config", { headers: { "x-app-password": boot.password || "" } });
let body = {};
try { body = await response.json(); } catch (e) {}
return { status: response.status, version: body.version || "",
         models: Array.isArray(body.models) ? body.models.length : 0 };
)JS";

}  // namespace

PanelController::PanelController(ServiceResolver::Config config) : resolver_(std::move(config)) {
    PanelOptions options;
    options.title = "页伴";
    options.contentRect = Rect{0, 0, width, 560};
    options.minWidth = 360;
    options.minHeight = 320;
    options.maxWidth = 720;
    options.maxHeight = 900;
    options.webDataName = "webdata";
    options.developerExtras = true;
    panel_ = Platform::current().windows->createPanel(options);
    panel_->webView().setDelegate(this);
    installScripts();
}

PanelController::~PanelController() {
    panel_->webView().setDelegate(nullptr);
}

void PanelController::installScripts() {
    std::vector<std::string> scripts = {HostBridge::hostObjectScript(HostBridge::Host::panel)};
    if (captureErrors_) {
        scripts.push_back(HostBridge::errorCaptureScript(HostBridge::Host::panel));
    }
    if (!bootstrapScript_.empty()) {
        scripts.push_back(bootstrapScript_);
    }
    panel_->webView().setUserScripts(scripts);
}

Rect PanelController::placement(const Rect& visible, double storedHeight) {
    const double height = std::min(visible.height - 80, std::max(storedHeight, kMinHeight));
    const double margin = std::max(visible.height * 0.08, 40.0);
    return Rect{visible.midX() - width / 2, visible.maxY() - height - margin, width, height};
}

std::optional<Rect> PanelController::resizedFrame(const Rect& current,
                                                  const std::optional<Rect>& visible,
                                                  double height) {
    // Without any screen there is no limit to keep to, and a height from a limit of
    // nothing would be negative: the panel keeps its size.
    if (height <= 120 || !visible) {
        return std::nullopt;
    }
    const double limit = std::min(visible->height - 100, 900.0);
    const double target = std::min(limit, std::max(height, kMinHeight));
    if (std::fabs(target - current.height) <= 12) {
        return std::nullopt;
    }
    return Rect{current.x, current.maxY() - target, current.width, target};
}

std::string PanelController::failurePage(const std::string& base, const std::string& message) {
    // The base and the message can carry markup (an address from the environment, an
    // error text): they go in as text, never as HTML that could post to the host.
    std::string page(kPanelFailurePage);
    replaceAll(page, "@BASE@", htmlEscaped(base));
    replaceAll(page, "@MESSAGE@", htmlEscaped(message));
    return page;
}

void PanelController::toggle() {
    if (panel_->isVisible()) {
        hide();
    } else {
        show();
    }
}

void PanelController::show(const std::string& draft) {
    pendingDraft_ = draft;
    show();
}

void PanelController::show() {
    AppLog::write("显示面板");
    Platform& platform = Platform::current();
    lastFrontmostApp_ = platform.workspace->frontmostApplication();
    WindowSystem& windows = *platform.windows;
    const auto [mouseX, mouseY] = windows.mouseLocation();
    std::optional<Screen> screen;
    for (const Screen& candidate : windows.screens()) {
        if (candidate.frame.contains(mouseX, mouseY)) {
            screen = candidate;
            break;
        }
    }
    if (!screen) {
        screen = windows.mainScreen();
    }
    if (screen) {
        panel_->setFrame(placement(screen->visibleFrame, Settings::shared().panelHeight()));
    }
    refreshBootstrap();
    // Notion's shortcut reaches Notion only while it has the keyboard: the page's context
    // is read before the panel takes the focus (activation and keystrokes race on X11),
    // and given to the page after, ahead of the focus event as before.
    const NotionContext context = NotionContextReader::read(false, lastFrontmostApp_);
    panel_->orderFront();
    windows.activateSelf();
    sendContext(context);
    sendHostEvent({{"type", "focus"}});
}

void PanelController::hide() {
    panel_->orderOut();
    sendHostEvent({{"type", "blur"}});
}

void PanelController::refreshBootstrap() {
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    resolveServer([weakSelf](const std::string&) {
        if (const auto self = weakSelf.lock()) {
            self->injectAndLoad();
        }
    });
}

void PanelController::injectAndLoad() {
    const Settings& settings = Settings::shared();
    const nlohmann::json bootstrap = HostBridge::panelBootstrapObject(
        {resolvedServerURL(), settings.password(), settings.model(), settings.agentMode(),
         NotionContextReader::isTrusted(), settings.archiveConversations()});
    std::string script = HostBridge::bootstrapScript(bootstrap);
    if (script.empty()) {
        return;  // not serialisable: nothing installed, nothing loaded
    }
    bootstrapScript_ = std::move(script);
    installScripts();
    load();
}

void PanelController::load() {
    const std::string base(trimCharacter(resolvedServerURL(), '/'));
    AppLog::write("加载面板：" + base + "/panel");
    const std::string url = base + "/panel";
    panel_->webView().setServiceOrigin(url);
    if (isAbsoluteURL(url)) {
        showingFailurePage_ = false;
        panel_->webView().loadURL(url, kPageTimeout);
    } else {
        showFailurePage("服务器地址无效：" + base);
    }
}

void PanelController::showFailurePage(const std::string& message) {
    showingFailurePage_ = true;
    panel_->webView().loadHTML(failurePage(resolvedServerURL(), message));
}

bool PanelController::allowResponse(int status) {
    if (status < 400 || webSelfTestCompletion_) {
        return true;
    }
    const std::string message = status == 404
                                    ? "服务器还是旧版本（/panel 不存在）。请先部署新版后端。"
                                    : "服务器返回 HTTP " + std::to_string(status) + "。";
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    // Loaded after the vetoed navigation has wound down.
    Platform::current().mainQueue->post([weakSelf, message] {
        if (const auto self = weakSelf.lock()) {
            self->showFailurePage(message);
        }
    });
    return false;
}

void PanelController::didFinish() {
    AppLog::write("页面加载完成：" + panel_->webView().currentURL());
    // The failure page has no composer: a waiting draft stays for the next real page.
    if (!showingFailurePage_ && !pendingDraft_.empty()) {
        const std::string draft = std::exchange(pendingDraft_, {});
        applyDraftToComposer(draft);
    }
    if (!showingFailurePage_ && lastContext_) {
        evaluateCall("onContext", *lastContext_);
    }
    if (webSelfTestCompletion_) {
        const std::weak_ptr<PanelController> weakSelf = weak_from_this();
        Platform::current().mainQueue->postAfter(kSelfTestSettle, [weakSelf] {
            if (const auto self = weakSelf.lock()) {
                self->sampleSelfTest();
            }
        });
    }
}

void PanelController::didFailProvisional(const NetworkError& error) {
    const std::string description = networkErrorText(error);
    AppLog::write("页面加载失败：" + description);
    if (webSelfTestCompletion_) {
        finishSelfTest({{"error", "无法连接：" + description}});
        return;
    }
    showFailurePage("无法连接。请确认服务器已启动，或稍后重试。");
}

void PanelController::didFail(const NetworkError& error) {
    const std::string description = networkErrorText(error);
    if (webSelfTestCompletion_) {
        finishSelfTest({{"error", "加载失败：" + description}});
        return;
    }
    showFailurePage("打开失败：" + description);
}

void PanelController::applyDraftToComposer(const std::string& draft) {
    panel_->webView().evaluate(HostBridge::composerFillScript(draft));
    AppLog::write("面板：已填入草稿（" + std::to_string(characterCount(draft)) + " 字）");
}

void PanelController::evaluateCall(const char* function, const nlohmann::json& argument) {
    const std::optional<std::string> call =
        HostBridge::guardedCall(HostBridge::panelBridge, function, argument);
    if (call) {
        panel_->webView().evaluate(*call);
    }
}

void PanelController::sendHostEvent(const nlohmann::json& event) {
    evaluateCall("onEvent", event);
}

void PanelController::notifyContext(bool includeSelection) {
    sendContext(NotionContextReader::read(includeSelection, lastFrontmostApp_));
}

void PanelController::sendContext(const NotionContext& context) {
    if (!HostBridge::guardedCall(HostBridge::panelBridge, "onContext",
                                 HostBridge::contextObject(context))) {
        return;
    }
    lastContext_ = HostBridge::contextObject(context);
    evaluateCall("onContext", *lastContext_);
    if (onStatusChange) {
        onStatusChange(context.pageTitle.empty() ? "未识别到 Notion 页面" : context.pageTitle);
    }
}

void PanelController::resize(double height) {
    if (!panel_->isVisible()) {
        return;
    }
    std::optional<Rect> visible = panel_->screenVisibleFrame();
    if (!visible) {
        if (const auto screen = Platform::current().windows->mainScreen()) {
            visible = screen->visibleFrame;
        }
    }
    if (const std::optional<Rect> frame = resizedFrame(panel_->frame(), visible, height)) {
        Settings::shared().setPanelHeight(frame->height);
        panel_->setFrame(*frame);
    }
}

void PanelController::handleMessage(const nlohmann::json& body) {
    const std::optional<HostBridge::Message> message = HostBridge::Message::accept(body);
    if (!message) {
        return;
    }
    const std::string& action = message->action();
    Platform& platform = Platform::current();
    if (action == "insertText") {
        insert(message->string("text"));
    } else if (action == "refreshContext") {
        notifyContext(true);
    } else if (action == "copyText") {
        platform.pasteboard->clearContents();
        platform.pasteboard->setString(message->string("text"));
        sendHostEvent({{"type", "copied"}});
    } else if (action == "openSettings") {
        if (onOpenSettings) {
            onOpenSettings();
        }
    } else if (action == "hide") {
        hide();
    } else if (action == "resize") {
        resize(message->height());
    } else if (action == "status") {
        if (onStatusChange) {
            onStatusChange(message->string("text"));
        }
    } else if (action == "openAccessibility") {
        NotionContextReader::requestPermission();
        platform.accessibility->openSettings();
    } else if (action == "openWeb") {
        if (isAbsoluteURL(resolvedServerURL())) {
            platform.workspace->openURL(resolvedServerURL());
        }
    }
}

void PanelController::insert(const std::string& text) {
    if (text.empty()) {
        return;
    }
    AppLog::write("收到插入请求：" + std::to_string(characterCount(text)) + " 字");
    Platform& platform = Platform::current();
    std::optional<RunningApplication> notion;
    for (const RunningApplication& application : platform.workspace->runningApplications()) {
        if (application.bundleIdentifier == NotionContextReader::notionBundleID) {
            notion = application;
            break;
        }
    }
    if (!notion) {
        failInsert("没有找到 Notion，请先打开 Notion 桌面版");
        return;
    }
    const RunningApplication target = lastFrontmostApp_ && lastFrontmostApp_->bundleIdentifier ==
                                                               NotionContextReader::notionBundleID
                                          ? *lastFrontmostApp_
                                          : *notion;
    hide();
    const InsertOutcome outcome = TextInsertion::insert(text, target);
    if (const auto* inserted = std::get_if<Inserted>(&outcome)) {
        AppLog::write("插入成功（" + inserted->road + "）");
        sendHostEvent({{"type", "inserted"},
                       {"message", "已插入到 Notion 光标处（" + inserted->road + "）"}});
        return;
    }
    const std::string& failure = std::get<InsertFailed>(outcome).message;
    AppLog::write("插入失败：" + failure);
    failInsert(failure);
}

void PanelController::failInsert(const std::string& message) {
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    Platform::current().mainQueue->postAfter(kFailInsertDelay, [weakSelf, message] {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->panel_->orderFront();
        Platform::current().windows->activateSelf();
        self->sendHostEvent({{"type", "insertFailed"}, {"message", message}});
    });
}

void PanelController::runWebSelfTest(std::function<void(nlohmann::json)> completion) {
    webSelfTestCompletion_ = std::move(completion);
    captureErrors_ = true;
    installScripts();
    refreshBootstrap();
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    Platform::current().mainQueue->postAfter(kSelfTestLimit, [weakSelf] {
        const auto self = weakSelf.lock();
        if (!self || !self->webSelfTestCompletion_) {
            return;
        }
        const std::string url = self->panel_->webView().currentURL();
        self->finishSelfTest({{"error", "超时：页面在 12 秒内没有完成加载"},
                              {"currentURL", url.empty() ? "(空)" : url}});
    });
}

void PanelController::sampleSelfTest() {
    if (!webSelfTestCompletion_) {
        return;
    }
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    panel_->webView().evaluate(kProbeScript, [weakSelf](const std::optional<nlohmann::json>& value,
                                                        const std::string& error) {
        const auto self = weakSelf.lock();
        if (!self || !self->webSelfTestCompletion_) {
            return;
        }
        nlohmann::json sample = pageSample(value, error, "页面脚本执行失败");
        self->panel_->webView().callAsyncFunction(
            kConfigProbe, [weakSelf, sample](std::optional<nlohmann::json> api,
                                             const std::string& apiError) mutable {
                const auto controller = weakSelf.lock();
                if (!controller) {
                    return;
                }
                if (api) {
                    AppLog::write("面板 API 自检：" + api->dump());
                    sample["panelApi"] = *api;
                } else {
                    AppLog::write("面板 API 自检失败：" + apiError);
                    sample["panelApi"] = {{"error", apiError}};
                }
                controller->finishSelfTest(std::move(sample));
            });
    });
}

void PanelController::finishSelfTest(nlohmann::json result) {
    if (!webSelfTestCompletion_) {
        return;
    }
    nlohmann::json report = {{"serverURL", Settings::shared().serverURL()},
                             {"bootstrapInjected", !Settings::shared().password().empty()},
                             {"loadedURL", panel_->webView().currentURL()}};
    if (result.is_object()) {
        for (auto& [key, value] : result.items()) {
            report[key] = value;
        }
    }
    auto completion = std::exchange(webSelfTestCompletion_, {});
    completion(std::move(report));
}

}  // namespace pagemate
