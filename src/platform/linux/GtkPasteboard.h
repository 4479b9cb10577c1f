#pragma once

#include <memory>

#include "platform/Pasteboard.h"

namespace pagemate::linux_backend {

// The X11 CLIPBOARD selection through GTK. X11 has one item with many targets: the
// owner's targets are the item's types, and writing several items merges them (the
// first item's data wins for a target both offer). The change count follows the
// selection's owner changes; this program's own writes count at once. Without a
// display it is an empty pasteboard that takes nothing.
class GtkPasteboard final : public Pasteboard {
  public:
    GtkPasteboard();
    GtkPasteboard(const GtkPasteboard&) = delete;
    GtkPasteboard& operator=(const GtkPasteboard&) = delete;
    ~GtkPasteboard() override;

    [[nodiscard]] long changeCount() override;
    [[nodiscard]] std::size_t itemCount() override;
    [[nodiscard]] std::vector<std::string> types(std::size_t item) override;
    [[nodiscard]] std::optional<std::string> data(std::size_t item, std::string_view type) override;
    [[nodiscard]] std::optional<std::string> string() override;
    void clearContents() override;
    bool writeItems(const std::vector<PasteboardItem>& items) override;
    bool setString(std::string_view text) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
