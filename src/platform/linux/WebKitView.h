#pragma once

#include <webkit2/webkit2.h>

#include "platform/WebView.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

// A WebKitGTK web view, with the "pagemate" message handler unless it is a plain
// browser view. Responses are vetted by the delegate; interruptions this view causes
// itself (a vetoed response, a load replaced by another) are not reported as failures.
class WebKitView final : public WebView {
  public:
    struct Options {
        bool developerExtras = false;
        bool hostMessages = true;
        bool drawsBackground = true;
        // Run at document end in the main frame, kept across setUserScripts().
        std::vector<std::string> documentEndScripts;
    };

    WebKitView(WebKitWebContext* context, Options options);
    WebKitView(const WebKitView&) = delete;
    WebKitView& operator=(const WebKitView&) = delete;
    ~WebKitView() override;

    [[nodiscard]] GtkWidget* widget() const { return GTK_WIDGET(view_.get()); }

    void setDelegate(WebViewDelegate* delegate) override { delegate_ = delegate; }
    void setUserScripts(const std::vector<std::string>& scripts) override;
    void loadURL(const std::string& url, std::chrono::milliseconds timeout) override;
    void loadHTML(const std::string& html) override;
    void reload() override;
    void evaluate(const std::string& script) override;
    void evaluate(const std::string& script, JsonResult result) override;
    void callAsyncFunction(const std::string& body, JsonResult result) override;
    [[nodiscard]] std::string currentURL() override;

    // Signal handlers.
    void onMessage(WebKitJavascriptResult* message);
    gboolean onDecidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type);
    void onLoadChanged(WebKitLoadEvent event);
    gboolean onLoadFailed(WebKitLoadEvent event, GError* error);
    void onTimeout();

  private:
    void cancelTimeout();
    void addDocumentEndScripts();

    std::vector<std::string> documentEndScripts_;
    GObjectPtr<WebKitUserContentManager> contentManager_;
    GObjectPtr<::WebKitWebView> view_;
    GObjectPtr<GCancellable> cancellable_;
    WebViewDelegate* delegate_ = nullptr;
    guint timeoutSource_ = 0;
    bool timedOut_ = false;
    bool failed_ = false;
};

}  // namespace pagemate::linux_backend
