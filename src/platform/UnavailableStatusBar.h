#pragma once

#include <string>

#include "platform/StatusItem.h"

namespace pagemate {

// The status bar of a program that cannot show a tray item at all (no display, no
// session bus): its items keep their menu and say why they are not shown.
class UnavailableStatusBar final : public StatusBar {
  public:
    UnavailableStatusBar(StatusItem::Availability reason, std::string detail)
        : reason_(reason), detail_(std::move(detail)) {}
    std::unique_ptr<StatusItem> createItem(const StatusItemOptions& options) override;

  private:
    StatusItem::Availability reason_;
    std::string detail_;
};

}  // namespace pagemate
