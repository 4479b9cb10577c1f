#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/WindowSystem.h"

namespace pagemate::fake {

// A web view that records what it is told; the test plays its delegate's callbacks and
// scripts the values of evaluated scripts. As a real engine, it answers a script later,
// on the main queue, and not at all once it is destroyed.
class RecordingWebView final : public WebView {
  public:
    using ScriptAnswer = std::pair<std::optional<nlohmann::json>, std::string>;

    void setDelegate(WebViewDelegate* newDelegate) override { delegate = newDelegate; }
    void setUserScripts(const std::vector<std::string>& newScripts) override {
        scripts = newScripts;
    }
    void setServiceOrigin(const std::string& address) override { serviceOrigin = address; }
    void loadURL(const std::string& url, std::chrono::milliseconds timeout) override {
        loads.push_back(url);
        lastTimeout = timeout;
        current = url;
    }
    void loadHTML(const std::string& html) override {
        htmlLoads.push_back(html);
        current = "about:blank";
    }
    void reload() override { ++reloads; }
    void evaluate(const std::string& script) override { evaluated.push_back(script); }
    void evaluate(const std::string& script, JsonResult result) override {
        evaluated.push_back(script);
        answerLater(script, std::move(result));
    }
    void callAsyncFunction(const std::string& body, JsonResult result) override {
        asyncCalls.push_back(body);
        answerLater(body, std::move(result));
    }
    std::string currentURL() override { return current; }

    WebViewDelegate* delegate = nullptr;
    std::vector<std::string> scripts;
    std::string serviceOrigin;
    std::vector<std::string> loads;
    std::vector<std::string> htmlLoads;
    std::vector<std::string> evaluated;
    std::vector<std::string> asyncCalls;
    std::chrono::milliseconds lastTimeout{0};
    std::string current;
    int reloads = 0;
    // The value of a script (or async function body): by default the error of a page
    // without an engine.
    std::function<ScriptAnswer(const std::string&)> answer = [](const std::string&) {
        return ScriptAnswer{std::nullopt, "no engine"};
    };

  private:
    void answerLater(const std::string& script, JsonResult result) {
        Platform::current().mainQueue->post([alive = std::weak_ptr<bool>(alive_), script,
                                             answer = answer, result = std::move(result)] {
            if (!alive.expired()) {
                auto [value, error] = answer(script);
                result(std::move(value), std::move(error));
            }
        });
    }
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakePanelWindow final : public PanelWindow {
  public:
    WebView& webView() override { return view; }
    void orderFront() override {
        visible = true;
        ++frontCount;
    }
    void orderOut() override { visible = false; }
    bool isVisible() override { return visible; }
    Rect frame() override { return currentFrame; }
    void setFrame(const Rect& frame) override { currentFrame = frame; }
    std::optional<Rect> screenVisibleFrame() override { return visibleFrame; }

    RecordingWebView view;
    bool visible = false;
    int frontCount = 0;
    Rect currentFrame{0, 0, 420, 560};
    std::optional<Rect> visibleFrame;
};

class FakeDocumentWindow final : public DocumentWindow {
  public:
    WebView& webView() override { return view; }
    void makeKeyAndOrderFront() override {
        visible = true;
        key = true;
        ++frontCount;
    }
    void orderOut() override {
        visible = false;
        key = false;
    }
    bool isVisible() override { return visible; }
    bool isKey() override { return key; }
    Rect frame() override { return currentFrame; }
    void setFrame(const Rect& frame) override { currentFrame = frame; }
    void setFrameObserver(std::function<void()> newObserver) override {
        observer = std::move(newObserver);
    }
    // What the window system does when the user drags the window.
    void userMovesTo(const Rect& frame) {
        currentFrame = frame;
        if (observer) {
            observer();
        }
    }

    RecordingWebView view;
    bool visible = false;
    bool key = false;
    int frontCount = 0;
    Rect currentFrame;
    std::function<void()> observer;
};

// A settings window that keeps what it is given and the thread of every change; the
// test plays the user with the control fields and the two clicks.
class RecordingSettingsWindow final : public SettingsWindow {
  public:
    explicit RecordingSettingsWindow(SettingsWindowOptions created) : options(std::move(created)) {}

    void setServerText(const std::string& text) override {
        noteChange();
        server = text;
    }
    std::string serverText() override { return server; }
    void select(PopUp popUp, int index) override {
        noteChange();
        const std::size_t count =
            (popUp == PopUp::model ? options.modelItems : options.modeItems).size();
        (popUp == PopUp::model ? model : mode) =
            index >= 0 && static_cast<std::size_t>(index) < count ? index : 0;
    }
    int selectedIndex(PopUp popUp) override { return popUp == PopUp::model ? model : mode; }
    void setChecked(CheckBox checkBox, bool checked) override {
        noteChange();
        (checkBox == CheckBox::followsCursor ? followsCursor : archive) = checked;
    }
    bool isChecked(CheckBox checkBox) override {
        return checkBox == CheckBox::followsCursor ? followsCursor : archive;
    }
    void setStatusText(const std::string& text) override {
        noteChange();
        status = text;
        statusHistory.push_back(text);
    }
    std::string statusText() override { return status; }
    void setActions(std::function<void()> testConnection, std::function<void()> save) override {
        testAction = std::move(testConnection);
        saveAction = std::move(save);
    }
    void makeKeyAndOrderFront() override {
        visible = true;
        ++frontCount;
    }
    void orderOut() override { visible = false; }
    bool isVisible() override { return visible; }

    // The user's clicks (Return is the save button's key).
    void clickTest() const { testAction(); }
    void clickSave() const { saveAction(); }

    SettingsWindowOptions options;
    std::string server;
    int model = 0;
    int mode = 0;
    bool followsCursor = false;
    bool archive = false;
    std::string status;
    std::vector<std::string> statusHistory;
    bool visible = false;
    int frontCount = 0;
    std::function<void()> testAction;
    std::function<void()> saveAction;
    // The threads the controls were changed on, one entry per change.
    std::vector<std::thread::id> changeThreads;

  private:
    void noteChange() { changeThreads.push_back(std::this_thread::get_id()); }
};

// Screens, the mouse and the panels the controllers made, as the test sets them.
class FakeWindowSystem final : public WindowSystem {
  public:
    std::unique_ptr<PanelWindow> createPanel(const PanelOptions& options) override {
        auto panel = std::make_unique<FakePanelWindow>();
        panels.push_back(panel.get());
        lastOptions = options;
        return panel;
    }
    std::unique_ptr<DocumentWindow> createDocumentWindow(
        const DocumentWindowOptions& options) override {
        auto window = std::make_unique<FakeDocumentWindow>();
        window->currentFrame = options.contentRect;
        documentWindows.push_back(window.get());
        lastDocumentOptions = options;
        return window;
    }
    std::unique_ptr<SettingsWindow> createSettingsWindow(
        const SettingsWindowOptions& options) override {
        auto window = std::make_unique<RecordingSettingsWindow>(options);
        settingsWindows.push_back(window.get());
        return window;
    }
    std::unique_ptr<PanelWindow> createQuickBar(const QuickBarOptions& options) override {
        auto bar = std::make_unique<FakePanelWindow>();
        bar->currentFrame = options.contentRect;
        quickBars.push_back(bar.get());
        lastQuickBarOptions = options;
        return bar;
    }
    std::vector<Screen> screens() override { return screenList; }
    std::optional<Screen> mainScreen() override {
        return screenList.empty() ? std::nullopt : std::optional(screenList.front());
    }
    std::pair<double, double> mouseLocation() override { return mouse; }
    void activateSelf() override { ++activations; }
    void setMouseUpObserver(std::function<void(double x, double y)> observer) override {
        mouseUpObserver = std::move(observer);
        ++mouseUpObserverSets;
    }
    // The user letting a mouse button go at (x, y), core coordinates, as the main loop
    // would deliver it: the observer, when there is one, hears of it.
    void mouseUp(double x, double y) {
        if (mouseUpObserver) {
            const auto observer = mouseUpObserver;  // it may replace itself
            observer(x, y);
        }
    }

    std::vector<FakePanelWindow*> panels;  // owned by their controllers
    PanelOptions lastOptions;
    std::vector<FakeDocumentWindow*> documentWindows;  // owned by their controllers
    DocumentWindowOptions lastDocumentOptions;
    std::vector<RecordingSettingsWindow*> settingsWindows;  // owned by their controllers
    std::vector<FakePanelWindow*> quickBars;                // owned by their controllers
    QuickBarOptions lastQuickBarOptions;
    std::vector<Screen> screenList;
    std::pair<double, double> mouse{0, 0};
    int activations = 0;
    std::function<void(double x, double y)> mouseUpObserver;
    int mouseUpObserverSets = 0;
};

}  // namespace pagemate::fake
