#include "platform/WebView.h"

#include "platform/Platform.h"

namespace pagemate {

void WebViewDelegate::openInBrowser(const std::string& url) {
    Platform::current().workspace->openURL(url);
}

nlohmann::json scriptMessageBody(std::string_view jsonText) {
    nlohmann::json body = nlohmann::json::parse(jsonText, nullptr, false);
    return body.is_discarded() ? nlohmann::json(nullptr) : body;
}

}  // namespace pagemate
