#pragma once

#include <chrono>
#include <functional>

namespace pagemate::AccessibilityWatch {

inline constexpr std::chrono::seconds pollInterval{2};

// Notices, without a restart, the moment this process is allowed to read and drive
// other applications: checks every 2 s until `timeout` has passed. On the grant it logs
// and calls `onGranted` once; at the deadline it logs once why it gives up. A chain of
// delayed steps on the main queue, at most one pending; returns at once.
void start(std::chrono::seconds timeout, std::function<void()> onGranted);

}  // namespace pagemate::AccessibilityWatch
