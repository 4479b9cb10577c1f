#pragma once

#include <string>

#include "platform/HotKeys.h"

namespace pagemate {

// The hot keys of a platform that cannot deliver global key combinations (no display,
// or a desktop without a backend yet): every registration fails with
// HotKeys::unavailableStatus, and availability() says why. It keeps the press handler
// as any backend does; no press ever comes.
class UnavailableHotKeys final : public HotKeys {
  public:
    UnavailableHotKeys(Availability reason, std::string detail)
        : reason_(reason), detail_(std::move(detail)) {}

    [[nodiscard]] Availability availability() const override { return reason_; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail_; }
    void setPressHandler(PressHandler handler) override { handler_ = std::move(handler); }
    HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                      HotKeyIdentifier identifier) override;

  private:
    Availability reason_;
    std::string detail_;
    PressHandler handler_;
};

}  // namespace pagemate
