#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagemate {

// What keeps this process from reading and driving other applications.
enum class UntrustedReason {
    none,                // nothing: it may
    noSessionBus,        // no D-Bus session bus to find the accessibility bus on
    noAccessibilityBus,  // the accessibility bus is not there or does not answer
    noKeystrokes,        // keystrokes cannot be posted
};

struct TrustStatus {
    UntrustedReason reason = UntrustedReason::none;
    // The system's own words for it (an address, an error message); may be empty.
    std::string detail;

    [[nodiscard]] bool trusted() const { return reason == UntrustedReason::none; }
    bool operator==(const TrustStatus&) const = default;
};

// Reading and writing other applications' user interface, by process id. Called on the
// main thread. While the status is not trusted the reading calls answer "nothing"
// (nullopt, false, failure) rather than fail harder.
class Accessibility {
  public:
    static constexpr int success = 0;
    static constexpr int failure = -25200;  // a refused or failed accessibility call

    virtual ~Accessibility() = default;

    // Whether this process may read and drive other applications, and if not, why. Asked
    // before every read: backends answer from a cache and look again now and then, so
    // that what appears later (a bus started after the program) is found.
    [[nodiscard]] virtual TrustStatus trustStatus() = 0;
    // Asks the user to grant the permission; the answer comes later.
    virtual void requestPermission() = 0;
    // Opens the system's settings page for the permission, where there is one.
    virtual void openSettings() = 0;

    // The title of the application's focused window.
    [[nodiscard]] virtual std::optional<std::string> focusedWindowTitle(int pid) = 0;
    // Whether the application has a focused element at all.
    [[nodiscard]] virtual bool hasFocusedElement(int pid) = 0;
    // The focused element's role, when it can be read.
    [[nodiscard]] virtual std::optional<std::string> focusedElementRole(int pid) = 0;
    // Whether the focused element's selected text may be replaced; nullopt on error.
    [[nodiscard]] virtual std::optional<bool> selectedTextSettable(int pid) = 0;
    // Replaces the focused element's selected text; success or an error code.
    virtual int setSelectedText(int pid, std::string_view text) = 0;
};

}  // namespace pagemate
