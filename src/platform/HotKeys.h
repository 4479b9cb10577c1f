#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pagemate {

// Key codes of hot keys, the program's own (the ANSI layout's virtual key codes);
// backends map them to their keyboard.
namespace HotKeyCode {
inline constexpr std::uint32_t c = 8;
inline constexpr std::uint32_t m = 46;
inline constexpr std::uint32_t space = 49;
}  // namespace HotKeyCode

// The modifier mask of hot keys, one bit per modifier; other bits are ignored.
namespace HotKeyModifier {
inline constexpr std::uint32_t command = 256;  // Super on Linux
inline constexpr std::uint32_t shift = 512;
inline constexpr std::uint32_t option = 2048;  // Alt on Linux
inline constexpr std::uint32_t control = 4096;
}  // namespace HotKeyModifier

// Names one registered combination: a four-character code of the registering program
// and a number it chose.
struct HotKeyIdentifier {
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
    friend bool operator==(const HotKeyIdentifier&, const HotKeyIdentifier&) = default;
};

// A combination the platform now delivers to the program. Registrations are for good:
// they last as long as the HotKeys object that made them.
struct HotKeyRef {
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    HotKeyIdentifier identifier;
    friend bool operator==(const HotKeyRef&, const HotKeyRef&) = default;
};

// What registering a combination gave.
struct HotKeyRegistration {
    enum class Outcome {
        registered,
        taken,        // another program holds the combination
        refused,      // the platform refused it for another reason (an unknown key, …)
        unavailable,  // this platform has no global hot keys (HotKeys::availability())
    };
    Outcome outcome = Outcome::registered;
    // 0 when registered; otherwise the platform's code (an X error code on X11), or
    // one of the program's own codes below.
    std::int32_t status = 0;
    // The platform's words for a failure; empty when registered.
    std::string detail;
    // Present exactly when registered.
    std::optional<HotKeyRef> ref;

    [[nodiscard]] bool registered() const { return outcome == Outcome::registered; }
};

// How a desktop that lists the program's shortcuts to the user names one: an id that
// stays the same from run to run, and what it does, in the user's words.
struct HotKeyLabel {
    std::string id;
    std::string description;
};

// What a desktop that binds the shortcuts itself made of the registrations, once it has
// settled: the identifiers it delivers (with the trigger it shows for each), and those
// it did not bind. `failure` holds the desktop's words when it bound none at all.
struct HotKeyBindings {
    struct Bound {
        HotKeyIdentifier identifier;
        std::string trigger;
    };
    std::vector<Bound> bound;
    std::vector<HotKeyIdentifier> unbound;
    std::string failure;
};

// Key combinations that reach the program whatever application has the keyboard.
//
// Main thread only. Presses go to the one press handler, on the main thread from the
// main loop: never inside a call the core made, and never after this object is gone.
// The handler is called once per press of a registered combination, whatever lock
// keys (Caps Lock, Num Lock, Scroll Lock) are on, and not again while the key repeats.
// It is called once keystrokes the action sends can reach the frontmost application:
// no grab of the combination's keyboard is active then (X11 delivers the press when its
// key is released, or after a bound for a key held long).
//
// Backends: X11 key grabs on the root window. A desktop whose compositor owns the
// keyboard (Wayland) is asked through its GlobalShortcuts portal: that backend binds
// each identifier as a shortcut with its label and the combination as the preferred
// trigger, answers `registered` at once, reports the desktop's decision later through
// the bindings handler, and a press (the portal's Activated, ended by Deactivated)
// through the press handler. A platform without any of these is an unavailable
// implementation that says why and refuses every registration with `unavailableStatus`.
class HotKeys {
  public:
    enum class Availability {
        available,
        noDisplay,       // no X display to grab keys on
        waylandSession,  // the compositor owns the keyboard; no backend for it yet
    };
    using PressHandler = std::function<void(const HotKeyIdentifier&)>;
    using BindingsHandler = std::function<void(const HotKeyBindings&)>;

    // The program's own failure codes (platform codes are positive on X11).
    static constexpr std::int32_t unavailableStatus = -1;
    static constexpr std::int32_t unknownKeyStatus = -2;  // no key for the key code here

    virtual ~HotKeys() = default;

    [[nodiscard]] virtual Availability availability() const = 0;
    // The platform's words for why hot keys are unavailable (empty when available).
    [[nodiscard]] virtual std::string availabilityDetail() const = 0;

    // Installs the handler of every press; a later call replaces it. The handler is kept
    // (and owned) as long as this object lives.
    virtual void setPressHandler(PressHandler handler) = 0;

    // Makes the combination global under `identifier`. Registering the same
    // combination again moves it to the new identifier. There is no unregistering.
    virtual HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                              HotKeyIdentifier identifier) = 0;

    // Names the combination to be registered under `identifier` (call it first), for
    // desktops that list shortcuts to the user; backends that grab keys ignore it.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): backends that list keep it
    virtual void setLabel(const HotKeyIdentifier& /*identifier*/, HotKeyLabel /*label*/) {}

    // Installs the handler of the desktop's decision. Backends where the desktop binds
    // the shortcuts call it once, on the main thread from the main loop, after the
    // registrations of one turn of the loop; backends that decide at registration never
    // call it.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): backends that call it keep it
    virtual void setBindingsHandler(BindingsHandler /*handler*/) {}
};

}  // namespace pagemate
