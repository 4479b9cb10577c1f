#pragma once

#include <string>
#include <variant>

namespace pagemate {

// What a backend met on its own that the log should record, as facts and the
// platform's own detail; the program words them in one place (PlatformNotices.cpp).

// The preferences file could not be used and the defaults apply.
struct PreferencesFileUnusable {
    enum class Why { unreadable, notRegularFile, notJson, notObject };
    Why why = Why::unreadable;
    std::string file;
    std::string detail;     // the system's words when it could not be read
    std::string movedTo;    // where the damaged file went; empty when it could not move
    std::string moveError;  // why it could not move
};

// A change of the preferences could not be written; the file keeps the old values.
struct PreferencesNotSaved {
    std::string file;  // empty when the values could not even be serialised
    std::string detail;
};

// No secret service answers: the password reads as not configured.
struct SecretServiceUnavailable {
    std::string detail;
};

// The desktop could not open an address.
struct AddressNotOpened {
    std::string address;
    std::string detail;  // empty when the desktop gave no reason
};

// A page of the service asked to go to an address that is no web address (a file,
// another program's handler, a page of no origin): the window stayed where it was.
struct PageAddressRefused {
    std::string address;
};

// A page of another origin posted to the host: the message was dropped. Once per origin
// and window.
struct PageMessageDropped {
    std::string origin;  // the page's address when it has no origin
};

// The desktop has no permission prompt: the user turns assistive technologies on.
struct AccessibilityHasNoPrompt {};

// The desktop's assistive-technologies switch has been turned on for the user.
struct AccessibilitySwitchedOn {};

// The desktop's assistive-technologies switch could not be stored (the settings store
// refused it, or lost it: dconf without a session bus).
struct AccessibilitySwitchNotStored {
    std::string detail;
};

// The desktop's accessibility settings could not be opened.
struct AccessibilitySettingsNotOpened {
    std::string detail;
};

// Mouse-button releases in other applications cannot be watched (the X server has no
// XInput 2, or the display is not an X one): the window system reports none.
struct MouseUpsNotWatched {
    std::string detail;
};

// A speech model folder lacks a part or holds a damaged one: its locale is left out.
struct SpeechModelUnusable {
    std::string locale;
    std::string folder;
    std::string detail;
};

// An alert was raised where no display can show it; it reads as dismissed with its
// default button.
struct AlertWithoutDisplay {
    std::string message;
    std::string informativeText;
};

using PlatformNotice =
    std::variant<PreferencesFileUnusable, PreferencesNotSaved, SecretServiceUnavailable,
                 AddressNotOpened, PageAddressRefused, PageMessageDropped, AccessibilityHasNoPrompt,
                 AccessibilitySwitchedOn, AccessibilitySwitchNotStored,
                 AccessibilitySettingsNotOpened, MouseUpsNotWatched, SpeechModelUnusable,
                 AlertWithoutDisplay>;

// Records the notice in the program's log; any thread.
void reportPlatformNotice(const PlatformNotice& notice);

}  // namespace pagemate
