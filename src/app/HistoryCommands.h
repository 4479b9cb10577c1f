#pragma once

#include <functional>
#include <string>

namespace pagemate::HistoryCommands {

// Asks the service where the conversation archive lives and opens it.
void openHistory();
// Asks the service to synchronise the archive now and reports the counts. `status`
// receives the progress text for the status line.
void syncHistoryNow(const std::function<void(const std::string&)>& status);

// The addresses openHistory hands to the desktop: web pages and Notion's own links.
bool isOpenableScheme(std::string_view scheme);

}  // namespace pagemate::HistoryCommands
