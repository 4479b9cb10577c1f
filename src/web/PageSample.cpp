#include "web/PageSample.h"

#include <utility>

#include "platform/MainQueue.h"
#include "platform/Platform.h"

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

PageSelfTest::PageSelfTest(Probes probes)
    : state_(std::make_shared<State>(State{std::move(probes), {}})) {}

void PageSelfTest::begin(Completion completion, std::chrono::milliseconds limit,
                         nlohmann::json timedOut) {
    state_->completion = std::move(completion);
    const std::weak_ptr<State> weak = state_;
    Platform::current().mainQueue->postAfter(
        limit, [weak, timedOut = std::move(timedOut)] { State::finish(weak, timedOut); });
}

void PageSelfTest::pageLoaded(WebView& view, std::chrono::milliseconds settle) {
    if (!state_->completion) {
        return;
    }
    const std::weak_ptr<State> weak = state_;
    Platform::current().mainQueue->postAfter(settle, [weak, &view] {
        const auto state = weak.lock();
        if (!state || !state->completion) {
            return;
        }
        samplePage(view, state->probes.probeScript, state->probes.configProbe,
                   state->probes.unreadable,
                   [weak](nlohmann::json sample) { State::finish(weak, std::move(sample)); });
    });
}

void PageSelfTest::State::finish(const std::weak_ptr<State>& weak, nlohmann::json report) {
    const auto state = weak.lock();
    if (!state || !state->completion) {
        return;
    }
    auto completion = std::exchange(state->completion, {});
    completion(std::move(report));
}

}  // namespace pagemate
