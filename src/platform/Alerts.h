#pragma once

#include <string>
#include <vector>

namespace pagemate {

struct Alert {
    std::string message;
    std::string informativeText;
    std::vector<std::string> buttons = {"好"};  // the first is the default
    std::string title = "页伴";
};

// Modal alerts, on the main thread. show() returns once the user has dismissed the
// alert, with the index of the chosen button (0 for the default one).
class Alerts {
  public:
    virtual ~Alerts() = default;
    virtual int show(const Alert& alert) = 0;
};

// The alerts of a program without a display: each is written to the log and reads as
// dismissed with its default button.
class LoggedAlerts final : public Alerts {
  public:
    int show(const Alert& alert) override;
};

}  // namespace pagemate
