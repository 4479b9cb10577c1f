#pragma once

#include "platform/Accessibility.h"

namespace pagemate::linux_backend {

// Other applications' interfaces through AT-SPI 2. "Trusted" means the accessibility
// bus answers and keystrokes can be posted; the user turns assistive technologies on in
// the desktop's settings, there is no per-program grant as on other systems.
class AtspiAccessibility final : public Accessibility {
  public:
    explicit AtspiAccessibility(bool keystrokesPossible);

    [[nodiscard]] bool isTrusted() override;
    void requestPermission() override;
    void openSettings() override;
    [[nodiscard]] std::optional<std::string> focusedWindowTitle(int pid) override;
    [[nodiscard]] bool hasFocusedElement(int pid) override;
    [[nodiscard]] std::optional<std::string> focusedElementRole(int pid) override;
    [[nodiscard]] std::optional<bool> selectedTextSettable(int pid) override;
    int setSelectedText(int pid, std::string_view text) override;

  private:
    bool keystrokesPossible_;
    bool initialised_ = false;
};

}  // namespace pagemate::linux_backend
