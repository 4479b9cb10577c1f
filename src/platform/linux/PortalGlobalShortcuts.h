#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/HotKeys.h"
#include "platform/MainQueue.h"

namespace pagemate::linux_backend {

// Hot keys of a Wayland desktop, bound by the desktop itself through the
// org.freedesktop.portal.GlobalShortcuts portal on the session bus (xdg-desktop-portal
// with the desktop's backend: KDE Plasma 5.27 and later, GNOME 48 and later).
//
// Registrations answer `registered` at once and are gathered; on the next turn of the
// main loop one session is created (CreateSession) and all of them are bound together
// (BindShortcuts: each with its label's id and description and the combination as the
// preferred trigger, "ALT+SHIFT+space"). The desktop may ask the user and may bind
// other triggers or none; what it bound is asked with ListShortcuts and reported once
// through the bindings handler. Each call is a portal request: its Response signal is
// subscribed on /org/freedesktop/portal/desktop/request/SENDER/TOKEN before the call,
// with the call's handle_token, as the portal's documentation prescribes.
//
// A press is the portal's Activated signal for a shortcut of this session, counted once
// until its Deactivated. As with X11 grabs, the handler runs when the keys are let go
// (Deactivated), so keystrokes an action sends go to the application, not into a
// shortcut still held; or `releaseBound` after Activated when no Deactivated comes.
class PortalGlobalShortcuts final : public HotKeys {
  public:
    static constexpr std::chrono::milliseconds releaseBound{1000};
    // How long the start-up question for the portal may take, the portal's own start by
    // D-Bus activation included.
    static constexpr std::chrono::milliseconds probeTimeout{3000};

    // The version of the GlobalShortcuts interface that the session bus's portal offers;
    // nullopt, with D-Bus's words in `why`, without a session bus, a portal, or the
    // interface (portals before 1.16). Blocks for up to probeTimeout.
    static std::optional<std::uint32_t> interfaceVersion(std::string& why);

    // The portal's shortcuts on the session bus; presses and the decision arrive on the
    // default main context, delays go through `queue`.
    explicit PortalGlobalShortcuts(MainQueue& queue);
    PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
    PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;
    // Closes the session (the desktop drops its shortcuts); no handler runs afterwards.
    ~PortalGlobalShortcuts() override;

    [[nodiscard]] Availability availability() const override { return Availability::available; }
    [[nodiscard]] std::string availabilityDetail() const override { return {}; }
    void setPressHandler(PressHandler handler) override;
    HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                      HotKeyIdentifier identifier) override;
    void setLabel(const HotKeyIdentifier& identifier, HotKeyLabel label) override;
    void setBindingsHandler(BindingsHandler handler) override;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
