#pragma once

#include <gtk/gtk.h>

#include <utility>

#include "platform/Pasteboard.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

// The X11 CLIPBOARD selection through GTK. X11 has one item with many targets: the
// owner's targets are the item's types, and writing several items merges them (the
// first item's data wins for a target both offer). The change count follows the
// selection's owner changes; this program's own writes count at once.
class GtkPasteboard final : public Pasteboard {
  public:
    GtkPasteboard();
    GtkPasteboard(const GtkPasteboard&) = delete;
    GtkPasteboard& operator=(const GtkPasteboard&) = delete;
    ~GtkPasteboard() override;

    [[nodiscard]] long changeCount() override { return changeCount_; }
    [[nodiscard]] std::size_t itemCount() override;
    [[nodiscard]] std::vector<std::string> types(std::size_t item) override;
    [[nodiscard]] std::optional<std::string> data(std::size_t item, std::string_view type) override;
    [[nodiscard]] std::optional<std::string> string() override;
    void clearContents() override;
    bool writeItems(const std::vector<PasteboardItem>& items) override;
    bool setString(std::string_view text) override;

    // Called for every owner change of the selection; ours are already counted.
    void noteOwnerChange();

    // What this program offers while it owns the selection.
    std::vector<std::pair<std::string, std::string>> offered;

  private:
    bool offer(std::vector<std::pair<std::string, std::string>> targets);

    GtkClipboard* clipboard_ = nullptr;  // owned by GTK
    GObjectPtr<GObject> owner_;
    gulong ownerChangeHandler_ = 0;
    long changeCount_ = 0;
};

}  // namespace pagemate::linux_backend
