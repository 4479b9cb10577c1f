#pragma once

#include <string>
#include <vector>

namespace pagemate {

struct Alert {
    std::string message;
    std::string informativeText;
    std::vector<std::string> buttons;  // empty: the platform's single default button
};

// Modal alerts. show() returns once the user has dismissed the alert, with the index
// of the chosen button (0 for the default one).
class Alerts {
  public:
    virtual ~Alerts() = default;
    virtual int show(const Alert& alert) = 0;
};

}  // namespace pagemate
