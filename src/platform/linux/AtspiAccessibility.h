#pragma once

#include <optional>

#include "platform/Accessibility.h"
#include "platform/MainQueue.h"

namespace pagemate::linux_backend {

// Other applications' interfaces through AT-SPI 2. "Trusted" means the accessibility
// bus answers and keystrokes can be posted; the user turns assistive technologies on in
// the desktop's settings, there is no per-program grant as on other systems.
//
// libatspi ends the process (g_error) when it is used without an accessibility bus, and
// once its set-up has failed it never tries again. So nothing here calls it before the
// bus has answered: the bus is looked for as libatspi will look (AT_SPI_BUS_ADDRESS, the
// AT_SPI_BUS property of the X root window, org.a11y.Bus on the session bus named by
// DBUS_SESSION_BUS_ADDRESS; no bus is ever started for the purpose), and looked for again
// at most every few seconds until it is found.
class AtspiAccessibility final : public Accessibility {
  public:
    // `clock` times the looks for the bus; it outlives this object.
    AtspiAccessibility(bool keystrokesPossible, const MainQueue& clock);

    [[nodiscard]] TrustStatus trustStatus() override;
    void requestPermission() override;
    void openSettings() override;
    [[nodiscard]] std::optional<std::string> focusedWindowTitle(int pid) override;
    [[nodiscard]] bool hasFocusedElement(int pid) override;
    [[nodiscard]] std::optional<std::string> focusedElementRole(int pid) override;
    [[nodiscard]] std::optional<bool> selectedTextSettable(int pid) override;
    int setSelectedText(int pid, std::string_view text) override;

  private:
    // Whether libatspi may be called: set up on a bus that answered.
    [[nodiscard]] bool ready();

    bool keystrokesPossible_;
    const MainQueue& clock_;
    bool initialised_ = false;
    TrustStatus status_;
    std::optional<MainQueue::Clock::time_point> lookedAt_;
};

}  // namespace pagemate::linux_backend
