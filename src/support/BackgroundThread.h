#pragma once

#include <functional>
#include <string>

namespace pagemate {

// Runs `work` on a new thread of its own with the given name (at most 15 bytes show),
// detached: for blocking work whose continuation is posted to the main queue. The work
// must hold whatever it uses.
void runInBackground(std::string name, std::function<void()> work);

}  // namespace pagemate
