#include "web/PageWindow.h"

#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "support/Url.h"

namespace pagemate {

namespace {

std::string_view bridgeOf(HostBridge::Host host) {
    switch (host) {
        case HostBridge::Host::panel:
            return HostBridge::panelBridge;
        case HostBridge::Host::quickBar:
            return HostBridge::quickBridge;
        case HostBridge::Host::meeting:
            return HostBridge::meetingBridge;
    }
    return HostBridge::panelBridge;
}

}  // namespace

PageWindow::PageWindow(std::unique_ptr<PanelWindow> window, HostBridge::Host host,
                       bool capturesErrors)
    : window_(std::move(window)), host_(host), capturesErrors_(capturesErrors) {
    view().setDelegate(this);
    installScripts();
}

PageWindow::~PageWindow() {
    view().setDelegate(nullptr);
}

void PageWindow::installScripts() {
    std::vector<std::string> scripts = {HostBridge::hostObjectScript(host_)};
    if (capturesErrors_) {
        scripts.push_back(HostBridge::errorCaptureScript(host_));
    }
    if (!bootstrapScript_.empty()) {
        scripts.push_back(bootstrapScript_);
    }
    view().setUserScripts(scripts);
}

bool PageWindow::setBootstrap(const nlohmann::json& bootstrap) {
    // Only the latest bootstrap is kept: the page sees the values of the latest load,
    // and scripts do not pile up over many shows.
    bootstrapScript_ = HostBridge::bootstrapScript(bootstrap);
    installScripts();
    return !bootstrapScript_.empty();
}

void PageWindow::setCapturesErrors(bool captures) {
    capturesErrors_ = captures;
    installScripts();
}

bool PageWindow::load(const std::string& url, std::chrono::milliseconds timeout) {
    // The bridge and the page's messages belong to the origin of the page loaded here.
    view().setServiceOrigin(url);
    if (!isAbsoluteURL(url)) {
        return false;
    }
    hasLoaded_ = true;
    view().loadURL(url, timeout);
    return true;
}

bool PageWindow::loadOnce(const std::string& url, std::chrono::milliseconds timeout) {
    if (std::exchange(hasLoaded_, true)) {
        return false;
    }
    (void)load(url, timeout);
    return true;
}

void PageWindow::call(std::string_view function, const nlohmann::json& argument) {
    if (const std::optional<std::string> script =
            HostBridge::guardedCall(bridgeOf(host_), function, argument)) {
        view().evaluate(*script);
    }
}

void PageWindow::on(std::string action, Action handler) {
    actions_[std::move(action)] = std::move(handler);
}

void PageWindow::handleMessage(const nlohmann::json& body) {
    const std::optional<HostBridge::Message> message = HostBridge::Message::accept(body);
    if (!message) {
        return;
    }
    const auto found = actions_.find(message->action());
    if (found != actions_.end() && found->second) {
        // A copy: the handler may replace itself or the table while it runs.
        const Action handler = found->second;
        handler(*message);
    }
}

std::optional<Rect> PageWindow::visibleFrame() const {
    if (std::optional<Rect> visible = window_->screenVisibleFrame()) {
        return visible;
    }
    if (const std::optional<Screen> screen = Platform::current().windows->mainScreen()) {
        return screen->visibleFrame;
    }
    return std::nullopt;
}

void PageWindow::setHeightKeepingTop(double height) {
    const Rect frame = window_->frame();
    window_->setFrame(Rect{frame.x, frame.maxY() - height, frame.width, height});
}

bool PageWindow::allowResponse(int status) {
    return !events.allowResponse || events.allowResponse(status);
}

void PageWindow::didFinish() {
    if (events.finished) {
        events.finished();
    }
}

void PageWindow::didFailProvisional(const NetworkError& error) {
    if (events.failedProvisional) {
        events.failedProvisional(error);
    }
}

void PageWindow::didFail(const NetworkError& error) {
    if (events.failed) {
        events.failed(error);
    }
}

}  // namespace pagemate
