#pragma once

#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/StatusItem.h"

namespace pagemate::linux_backend {

// Status items on the StatusNotifierItem protocol, which GNOME (with the AppIndicator
// extension), KDE, XFCE, Cinnamon, MATE and others show; no display is needed.
//
// Each item has its own connection to the session bus. It exports an
// org.kde.StatusNotifierItem object at /StatusNotifierItem and its menu as a
// com.canonical.dbusmenu object at /MenuBar, owns the name
// org.kde.StatusNotifierItem-<pid>-<n>, and registers that name with
// org.kde.StatusNotifierWatcher whenever a watcher is on the bus, so that a tray started
// after the program still gets the item.
//
// Availability: noSessionBus without a session bus or once its connection closes;
// noTrayHost while no watcher runs, when the watcher refuses the item or has no host
// registered; shown otherwise. An item created while a watcher runs reads as shown at
// once and changes if the registration then fails.
//
// Chosen menu items run their action through `queue`, never inside the D-Bus call that
// chose them; nothing runs after the item is destroyed.
//
// The protocol says nothing of where the host draws the icon, but its Activate,
// SecondaryActivate and ContextMenu calls carry the click's place on the screen (top
// left, device pixels): the item's lastKnownFrame() is a 24-point square centred there,
// in the core's coordinates while GDK has a display open (the item itself needs none).
class StatusNotifierBar final : public StatusBar {
  public:
    // `queue` outlives the items; `programIcons` is the program's own icon theme folder
    // (with hicolor/... inside: ResourcePaths), for an icon not installed where the
    // desktop looks.
    explicit StatusNotifierBar(MainQueue& queue, std::string programIcons = {});
    std::unique_ptr<StatusItem> createItem(const StatusItemOptions& options) override;

    // The folder to announce as IconThemePath for the themed icon `iconName`: empty when
    // the icon is installed in a theme folder of the data folders ($XDG_DATA_HOME,
    // $XDG_DATA_DIRS), else `programIcons` (beside the installed program, or the source
    // tree's), when the icon is there.
    [[nodiscard]] static std::string iconThemePath(const std::string& iconName,
                                                   const std::string& programIcons);

  private:
    MainQueue& queue_;
    std::string programIcons_;
    int created_ = 0;
};

}  // namespace pagemate::linux_backend
