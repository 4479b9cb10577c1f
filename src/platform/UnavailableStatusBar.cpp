#include "platform/UnavailableStatusBar.h"

#include <utility>

namespace pagemate {

namespace {

class HiddenStatusItem final : public StatusItem {
  public:
    HiddenStatusItem(Availability reason, std::string detail)
        : reason_(reason), detail_(std::move(detail)) {}
    void setMenu(std::vector<MenuItem> menu) override { menu_ = std::move(menu); }
    [[nodiscard]] Availability availability() const override { return reason_; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail_; }
    void setAvailabilityObserver(std::function<void()>) override {}
    // Not shown anywhere, so nowhere to be.
    [[nodiscard]] std::optional<Rect> lastKnownFrame() const override { return std::nullopt; }

  private:
    Availability reason_;
    std::string detail_;
    std::vector<MenuItem> menu_;
};

}  // namespace

std::unique_ptr<StatusItem> UnavailableStatusBar::createItem(const StatusItemOptions&) {
    return std::make_unique<HiddenStatusItem>(reason_, detail_);
}

}  // namespace pagemate
