#include "platform/WebView.h"

namespace pagemate {

nlohmann::json scriptMessageBody(std::string_view jsonText) {
    nlohmann::json body = nlohmann::json::parse(jsonText, nullptr, false);
    return body.is_discarded() ? nlohmann::json(nullptr) : body;
}

}  // namespace pagemate
