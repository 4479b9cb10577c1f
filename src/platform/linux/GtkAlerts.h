#pragma once

#include "platform/Alerts.h"

namespace pagemate::linux_backend {

// Modal GTK message dialogs. Without a display the alert is logged instead and
// reads as dismissed with its first button.
class GtkAlerts final : public Alerts {
  public:
    int show(const Alert& alert) override;
};

}  // namespace pagemate::linux_backend
