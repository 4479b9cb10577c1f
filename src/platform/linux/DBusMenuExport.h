#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/StatusItem.h"
#include "platform/linux/GtkForward.h"

namespace pagemate::linux_backend {

// A menu exported as a com.canonical.dbusmenu object, which tray hosts read and draw
// themselves: the root (id 0) holds the items in order. Separators have the type
// "separator", disabled items "enabled": false, a key equivalent is the "shortcut"
// [["Control", key]]; underscores in titles are doubled (a single one marks a mnemonic).
//
// Every setMenu() announces a new layout revision. An item keeps its id while its place
// and kind stay (and a command its title), so hosts showing the older layout still
// point at it; a click on an id of the previous revision that is gone runs the command
// of the same title when the new menu has one, and finds nothing otherwise. A "clicked"
// event posts the item's action to the queue; it runs there unless this export is gone
// by then.
// Main thread only; the D-Bus calls arrive on the main loop.
class DBusMenuExport {
  public:
    // Registers the object at `path`; exportError() says why when it could not.
    DBusMenuExport(GDBusConnection* connection, const std::string& path, MainQueue& queue);
    DBusMenuExport(const DBusMenuExport&) = delete;
    DBusMenuExport& operator=(const DBusMenuExport&) = delete;
    ~DBusMenuExport();

    [[nodiscard]] const std::string& exportError() const;
    void setMenu(std::vector<MenuItem> menu);
    [[nodiscard]] unsigned revision() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace pagemate::linux_backend
