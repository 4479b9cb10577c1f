#pragma once

#include <functional>
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

}  // namespace pagemate
