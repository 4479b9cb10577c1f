#pragma once

#include "platform/Alerts.h"

namespace pagemate::linux_backend {

// Modal GTK message dialogs; needs an open display (without one the platform uses
// LoggedAlerts).
class GtkAlerts final : public Alerts {
  public:
    int show(const Alert& alert) override;
};

}  // namespace pagemate::linux_backend
