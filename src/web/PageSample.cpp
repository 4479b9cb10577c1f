#include "web/PageSample.h"

#include <utility>

namespace pagemate {

nlohmann::json pageSample(const std::optional<nlohmann::json>& value, const std::string& error,
                          const std::string& unreadable) {
    nlohmann::json sample = nlohmann::json::parse(
        value && value->is_string() ? value->get<std::string>() : "", nullptr, false);
    if (!sample.is_object()) {
        sample = {{"error", error.empty() ? unreadable : error}};
    }
    return sample;
}

void samplePage(WebView& view, const std::string& probeScript, std::string configProbe,
                std::string unreadable, std::function<void(nlohmann::json)> done) {
    // The view outlives every result it delivers, so the second look can be asked of it
    // from inside the first one's answer.
    view.evaluate(
        probeScript, [&view, configProbe = std::move(configProbe),
                      unreadable = std::move(unreadable), done = std::move(done)](
                         const std::optional<nlohmann::json>& value, const std::string& error) {
            nlohmann::json sample = pageSample(value, error, unreadable);
            view.callAsyncFunction(
                configProbe, [sample = std::move(sample), done](std::optional<nlohmann::json> api,
                                                                const std::string&) mutable {
                    if (api && api->is_object()) {
                        sample["api"] = std::move(*api);
                    }
                    done(std::move(sample));
                });
        });
}

}  // namespace pagemate
