#include "platform/DesktopSession.h"

#include <cstdlib>

namespace pagemate {

namespace {

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char letter = text[index];
        const char lower =
            letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
        if (lower != lowerCase[index]) {
            return false;
        }
    }
    return true;
}

// The variable's value when it is set and not empty.
std::optional<std::string> variable(const char* name) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read at start-up, before other threads
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace

DesktopSession DesktopSession::fromEnvironment() {
    DesktopSession session;
    if (const auto type = variable("XDG_SESSION_TYPE");
        type && equalsIgnoringCase(*type, "wayland")) {
        session.wayland = "XDG_SESSION_TYPE=" + *type;
    } else if (const auto display = variable("WAYLAND_DISPLAY")) {
        session.wayland = "WAYLAND_DISPLAY=" + *display;
    }
    session.xDisplay = variable("DISPLAY");
    return session;
}

std::optional<std::string_view> DesktopSession::toolkitBackend() const {
    if (wayland && xDisplay) {
        return "x11";
    }
    return std::nullopt;
}

HotKeyBackend chooseHotKeyBackend(const DesktopSession& session, bool displayOpened,
                                  std::optional<std::uint32_t> shortcutsPortalVersion) {
    if (session.wayland) {
        return shortcutsPortalVersion.value_or(0) >= 1 ? HotKeyBackend::shortcutsPortal
                                                       : HotKeyBackend::none;
    }
    return displayOpened ? HotKeyBackend::x11Grabs : HotKeyBackend::none;
}

}  // namespace pagemate
