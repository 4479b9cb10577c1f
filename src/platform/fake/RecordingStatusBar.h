#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/StatusItem.h"

namespace pagemate::fake {

// A status item that keeps what it is given; the test reads the menu, chooses items
// and changes the availability.
class RecordingStatusItem final : public StatusItem {
  public:
    explicit RecordingStatusItem(StatusItemOptions created) : options(std::move(created)) {}
    void setMenu(std::vector<MenuItem> newMenu) override {
        menu = std::move(newMenu);
        ++menuSets;
        for (const MenuItem& entry : menu) {
            if (entry.title.starts_with("状态：")) {
                statusRows.push_back(entry.title);
            }
        }
    }
    [[nodiscard]] Availability availability() const override { return state; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail; }
    void setAvailabilityObserver(std::function<void()> newObserver) override {
        observer = std::move(newObserver);
    }
    [[nodiscard]] std::optional<Rect> lastKnownFrame() const override { return frame; }

    // The item titled so, or nullptr.
    [[nodiscard]] const MenuItem* item(const std::string& title) const {
        for (const MenuItem& entry : menu) {
            if (entry.title == title) {
                return &entry;
            }
        }
        return nullptr;
    }
    // What the tray does when a host appears or goes.
    void becomes(Availability newState, std::string newDetail = {}) {
        state = newState;
        detail = std::move(newDetail);
        if (observer) {
            observer();
        }
    }

    StatusItemOptions options;
    std::vector<MenuItem> menu;
    int menuSets = 0;
    // The status row ("状态：…") of every menu set, in order.
    std::vector<std::string> statusRows;
    Availability state = Availability::shown;
    std::string detail;
    std::function<void()> observer;
    // Where the test says the tray has shown the icon.
    std::optional<Rect> frame;
};

class RecordingStatusBar final : public StatusBar {
  public:
    std::unique_ptr<StatusItem> createItem(const StatusItemOptions& options) override {
        auto item = std::make_unique<RecordingStatusItem>(options);
        items.push_back(item.get());
        return item;
    }
    std::vector<RecordingStatusItem*> items;  // owned by the core
};

}  // namespace pagemate::fake
