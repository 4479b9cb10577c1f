#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/HttpClient.h"

namespace pagemate::HistoryCommands {

// Asks the service where the conversation archive lives and opens it.
void openHistory();
// Asks the service to synchronise the archive now and reports the counts. `status`
// receives the progress text for the status line.
void syncHistoryNow(const std::function<void(const std::string&)>& status);

// What the service's answer about the archive asks for: the address to open (not yet
// checked), or that the archive is switched off; neither when the answer says nothing
// usable.
struct HistoryAnswer {
    std::optional<std::string> url;
    bool disabled = false;
    bool operator==(const HistoryAnswer&) const = default;
};
HistoryAnswer historyAnswer(const HttpResponse& response);
// The result line of a synchronisation from the service's answer ("同步完成：…").
std::string syncResultText(const HttpResponse& response);

}  // namespace pagemate::HistoryCommands
