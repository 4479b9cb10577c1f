#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/HotKeys.h"

namespace pagemate {

// Global hot keys and what they do. Registrations last as long as the process; there is
// no unregistering. Main thread only; actions run on the main thread, always later from
// the main queue, never inside the platform's press handler.
//
// The manager's records (the press handler's presence, the actions, the list of
// registrations) live in the press handler it installs on the platform's hot keys, so
// they go with the installed platform: the program installs one for its whole run, and
// each test that installs its own starts afresh.
class HotKeyManager {
  public:
    using Action = std::function<void()>;

    // "PGMI", the four ASCII characters read as one big-endian 32-bit number: the
    // signature half of every identifier this program registers.
    static constexpr std::uint32_t signature = 0x50474D49;

    // The one manager of the process, made on first use.
    static HotKeyManager& shared();

    HotKeyManager(const HotKeyManager&) = delete;
    HotKeyManager& operator=(const HotKeyManager&) = delete;

    // Stores `action` under `id` (replacing an earlier one, even when this registration
    // fails), installs the press handler on the first registration, registers the
    // combination as (signature, id) and logs a failure with its status. Registering an
    // id again keeps both registrations; presses then run the latest action.
    HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                      std::uint32_t id, Action action);

    // One entry per registration in order; empty where it failed.
    [[nodiscard]] std::vector<std::optional<HotKeyRef>> registrations() const;

  private:
    struct State;
    HotKeyManager() = default;
    // The records of the installed platform, made when there are none (yet).
    std::shared_ptr<State> state();

    std::weak_ptr<State> state_;
};

}  // namespace pagemate
