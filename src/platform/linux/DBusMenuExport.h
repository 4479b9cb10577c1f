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
// Every setMenu() gives the items fresh ids and announces a new layout revision, so a
// click meant for an item of an older menu finds nothing. A "clicked" event posts the
// item's action to the queue; it runs there unless this export is gone by then.
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
