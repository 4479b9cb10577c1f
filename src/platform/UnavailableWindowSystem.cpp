#include "platform/UnavailableWindowSystem.h"

#include <utility>

#include "platform/Platform.h"

namespace pagemate {

namespace {

// Loads nothing and reports nothing; a script result is "no value", delivered later
// on the main queue as the contract asks, and not at all once the view is gone.
class InertWebView final : public WebView {
  public:
    void setDelegate(WebViewDelegate*) override {}
    void setUserScripts(const std::vector<std::string>&) override {}
    void setServiceOrigin(const std::string&) override {}
    void loadURL(const std::string&, std::chrono::milliseconds) override {}
    void loadHTML(const std::string&) override {}
    void reload() override {}
    void evaluate(const std::string&) override {}
    void evaluate(const std::string&, JsonResult result) override {
        answerLater(std::move(result));
    }
    void callAsyncFunction(const std::string&, JsonResult result) override {
        answerLater(std::move(result));
    }
    std::string currentURL() override { return ""; }

  private:
    void answerLater(JsonResult result) {
        Platform::current().mainQueue->post(
            [alive = std::weak_ptr<bool>(alive_), result = std::move(result)] {
                if (!alive.expired()) {
                    result(std::nullopt, "");
                }
            });
    }
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class InertPanel final : public PanelWindow {
  public:
    explicit InertPanel(const Rect& frame) : frame_(frame) {}
    WebView& webView() override { return view_; }
    void orderFront() override {}
    void orderOut() override {}
    bool isVisible() override { return false; }
    Rect frame() override { return frame_; }
    void setFrame(const Rect& frame) override { frame_ = frame; }
    std::optional<Rect> screenVisibleFrame() override { return std::nullopt; }

  private:
    InertWebView view_;
    Rect frame_;
};

class InertDocumentWindow final : public DocumentWindow {
  public:
    explicit InertDocumentWindow(const Rect& frame) : frame_(frame) {}
    WebView& webView() override { return view_; }
    void makeKeyAndOrderFront() override {}
    void orderOut() override {}
    bool isVisible() override { return false; }
    bool isKey() override { return false; }
    Rect frame() override { return frame_; }
    void setFrame(const Rect& frame) override { frame_ = frame; }
    void setFrameObserver(std::function<void()>) override {}

  private:
    InertWebView view_;
    Rect frame_;
};

// Keeps what it is given, so that reading the controls back gives the stored values
// and nothing is lost by an apply; it never appears, so no action ever runs.
class InertSettingsWindow final : public SettingsWindow {
  public:
    explicit InertSettingsWindow(const SettingsWindowOptions& options)
        : modelCount_(static_cast<int>(options.modelItems.size())),
          modeCount_(static_cast<int>(options.modeItems.size())) {}

    void setServerText(const std::string& text) override { server_ = text; }
    std::string serverText() override { return server_; }
    void select(PopUp popUp, int index) override {
        const int count = popUp == PopUp::model ? modelCount_ : modeCount_;
        (popUp == PopUp::model ? model_ : mode_) = index >= 0 && index < count ? index : 0;
    }
    int selectedIndex(PopUp popUp) override { return popUp == PopUp::model ? model_ : mode_; }
    void setChecked(CheckBox checkBox, bool checked) override {
        (checkBox == CheckBox::followsCursor ? followsCursor_ : archive_) = checked;
    }
    bool isChecked(CheckBox checkBox) override {
        return checkBox == CheckBox::followsCursor ? followsCursor_ : archive_;
    }
    void setStatusText(const std::string& text) override { status_ = text; }
    std::string statusText() override { return status_; }
    void setActions(std::function<void()>, std::function<void()>) override {}
    void makeKeyAndOrderFront() override {}
    void orderOut() override {}
    bool isVisible() override { return false; }

  private:
    int modelCount_;
    int modeCount_;
    std::string server_;
    std::string status_;
    int model_ = 0;
    int mode_ = 0;
    bool followsCursor_ = false;
    bool archive_ = false;
};

}  // namespace

std::unique_ptr<PanelWindow> UnavailableWindowSystem::createPanel(const PanelOptions& options) {
    return std::make_unique<InertPanel>(options.contentRect);
}

std::unique_ptr<PanelWindow> UnavailableWindowSystem::createQuickBar(
    const QuickBarOptions& options) {
    return std::make_unique<InertPanel>(options.contentRect);
}

std::unique_ptr<DocumentWindow> UnavailableWindowSystem::createDocumentWindow(
    const DocumentWindowOptions& options) {
    return std::make_unique<InertDocumentWindow>(options.contentRect);
}

std::unique_ptr<SettingsWindow> UnavailableWindowSystem::createSettingsWindow(
    const SettingsWindowOptions& options) {
    return std::make_unique<InertSettingsWindow>(options);
}

}  // namespace pagemate
