#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"

namespace pagemate {

// One entry of the status menu, as the core builds it; the backend renders it.
struct MenuItem {
    enum class Kind { command, separator };
    Kind kind = Kind::command;
    std::string title;
    // Run on the main thread when the user chooses the item; empty: the item does
    // nothing (it may still be shown enabled).
    std::function<void()> action;
    // A key that chooses the item while the menu is open, with the platform's command
    // modifier (Control on Linux): "," or "q"; empty for none.
    std::string keyEquivalent;
    bool enabled = true;

    static MenuItem separator() { return MenuItem{Kind::separator, {}, {}, {}, false}; }
};

struct StatusItemOptions {
    std::string iconName;        // a themed icon name
    std::string accessibleName;  // what assistive technologies read
    std::string toolTip;
};

// The program's item in the desktop's status area (the tray) with its menu. Main
// thread only; menu actions and availability changes arrive on the main thread, from
// the main loop, never inside a call the core made, and neither comes once the item is
// destroyed. The item leaves the tray when it is destroyed.
class StatusItem {
  public:
    enum class Availability {
        shown,       // a tray host shows the item
        noTrayHost,  // nothing shows status items now; the item appears when one starts
        noSessionBus,
        noDisplay,
    };
    virtual ~StatusItem() = default;

    // Replaces the whole menu; the open menu, if any, follows.
    virtual void setMenu(std::vector<MenuItem> menu) = 0;
    [[nodiscard]] virtual Availability availability() const = 0;
    // The platform's words for why the item is not shown (empty when it is).
    [[nodiscard]] virtual std::string availabilityDetail() const = 0;
    // Told of every change of availability after creation.
    virtual void setAvailabilityObserver(std::function<void()> observer) = 0;
    // The icon's frame on the screen as far as the platform has learnt it, in the core's
    // coordinates (see Rect); nullopt while it knows nothing. Trays that do not say where
    // they draw the icon may give an estimate from the user's last click on it.
    [[nodiscard]] virtual std::optional<Rect> lastKnownFrame() const = 0;
};

// Makes status items. Main thread only.
class StatusBar {
  public:
    virtual ~StatusBar() = default;
    virtual std::unique_ptr<StatusItem> createItem(const StatusItemOptions& options) = 0;
};

}  // namespace pagemate
