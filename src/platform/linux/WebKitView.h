#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/WebView.h"
#include "platform/linux/GtkForward.h"

namespace pagemate::linux_backend {

// A WebKitGTK web view, with the "pagemate" message handler and bound to the service's
// origin (WebView.h) unless it is a plain browser view. Responses are vetted by the delegate;
// interruptions this view causes itself (a vetoed response, a load replaced by another) are not
// reported as failures.
class WebKitView final : public WebView {
  public:
    struct Options {
        bool developerExtras = false;
        bool hostMessages = true;
        bool drawsBackground = true;
        // Run at document end in the main frame, kept across setUserScripts().
        std::vector<std::string> documentEndScripts;
    };

    // A view in the given web context (its data store); null means WebKit's default.
    WebKitView(WebKitWebContext* context, Options options);
    WebKitView(const WebKitView&) = delete;
    WebKitView& operator=(const WebKitView&) = delete;
    ~WebKitView() override;

    // The view's widget, for the window that shows it.
    [[nodiscard]] GtkWidget* widget() const;

    void setDelegate(WebViewDelegate* delegate) override;
    void setUserScripts(const std::vector<std::string>& scripts) override;
    void setServiceOrigin(const std::string& address) override;
    void loadURL(const std::string& url, std::chrono::milliseconds timeout) override;
    void loadHTML(const std::string& html) override;
    void reload() override;
    void evaluate(const std::string& script) override;
    void evaluate(const std::string& script, JsonResult result) override;
    void callAsyncFunction(const std::string& body, JsonResult result) override;
    [[nodiscard]] std::string currentURL() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
