#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/WebView.h"

namespace pagemate {

// The two looks a self-test takes at a hosted page: `probeScript`, which returns the
// page's state as JSON text, then `configProbe`, the body of an async function that
// asks the service for its configuration from inside the page. `done` gets the state
// (or {"error": the script's error, else `unreadable`}) with the second answer under
// "api" when it was an object. Nothing is called once the view is gone.
// The page's state from the first look's answer: the object the page's JSON text
// holds, else {"error": `error`, or `unreadable` when the engine gave no error}.
nlohmann::json pageSample(const std::optional<nlohmann::json>& value, const std::string& error,
                          const std::string& unreadable);

void samplePage(WebView& view, const std::string& probeScript, std::string configProbe,
                std::string unreadable, std::function<void(nlohmann::json)> done);

// A self-test of a hosted page: begun with its completion, it samples the page a
// settle time after each load (samplePage) and reports once, with the first sample or,
// when the time limit passes first, with the time-out report. Owned by the page's
// controller: nothing runs once it is gone.
class PageSelfTest {
  public:
    using Completion = std::function<void(nlohmann::json)>;
    struct Probes {
        std::string probeScript;
        std::string configProbe;
        std::string unreadable;
    };

    explicit PageSelfTest(Probes probes);

    void begin(Completion completion, std::chrono::milliseconds limit, nlohmann::json timedOut);
    // The page in `view` has finished loading; `view` outlives this object.
    void pageLoaded(WebView& view, std::chrono::milliseconds settle);

  private:
    struct State {
        Probes probes;
        Completion completion;
        static void finish(const std::weak_ptr<State>& weak, nlohmann::json report);
    };
    std::shared_ptr<State> state_;
};

}  // namespace pagemate
