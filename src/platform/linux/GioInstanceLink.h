#pragma once

#include <memory>

#include "platform/InstanceLink.h"

namespace pagemate::linux_backend {

// The program's one instance on the D-Bus session bus, through GIO, over a connection of
// its own (made at the first claim; an "autolaunch:" address, which would start a bus,
// is not followed). On the name's object path (com.fernwick.pagemate →
// /com/fernwick/pagemate) it offers what a GApplication offers, so that desktop
// launchers and `gapplication action` reach it: org.freedesktop.Application (Activate,
// Open, ActivateAction) and the actions quick-bar, panel, chat and meeting as
// org.gtk.Actions. These are exported before the name is requested, so a request that
// follows the name at once finds them. The bus frees the name when the process ends,
// however it ends.
class GioInstanceLink final : public InstanceLink {
  public:
    GioInstanceLink();
    GioInstanceLink(const GioInstanceLink&) = delete;
    GioInstanceLink& operator=(const GioInstanceLink&) = delete;
    // Leaves the bus: the name, if held, goes at once.
    ~GioInstanceLink() override;

    void setActionHandler(ActionHandler handler) override;
    Claim claim(std::string_view name) override;
    bool isHeld(std::string_view name) override;
    Delivery send(InstanceAction action) override;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace pagemate::linux_backend
