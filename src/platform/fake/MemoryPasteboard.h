#pragma once

#include "platform/Pasteboard.h"

namespace pagemate::fake {

// A pasteboard in memory, with items of several types as on a real one. The plain-text
// type is "text/plain".
class MemoryPasteboard final : public Pasteboard {
  public:
    static constexpr std::string_view plainText = "text/plain";

    [[nodiscard]] long changeCount() override { return changeCount_; }
    [[nodiscard]] std::size_t itemCount() override { return items_.size(); }
    [[nodiscard]] std::vector<std::string> types(std::size_t item) override {
        std::vector<std::string> names;
        for (const auto& [type, bytes] : items_.at(item)) {
            names.push_back(type);
        }
        return names;
    }
    [[nodiscard]] std::optional<std::string> data(std::size_t item,
                                                  std::string_view type) override {
        const PasteboardItem& entry = items_.at(item);
        const auto found = entry.find(std::string(type));
        return found == entry.end() ? std::nullopt : std::optional(found->second);
    }
    [[nodiscard]] std::optional<std::string> string() override {
        return items_.empty() ? std::nullopt : data(0, plainText);
    }
    void clearContents() override {
        items_.clear();
        ++changeCount_;
    }
    bool writeItems(const std::vector<PasteboardItem>& items) override {
        items_.insert(items_.end(), items.begin(), items.end());
        ++changeCount_;
        ++writeCalls;
        return true;
    }
    bool setString(std::string_view text) override {
        items_ = {PasteboardItem{{std::string(plainText), std::string(text)}}};
        ++changeCount_;
        return true;
    }

    // What the test sees and sets directly.
    [[nodiscard]] const std::vector<PasteboardItem>& items() const { return items_; }
    void copy(std::vector<PasteboardItem> items) {
        items_ = std::move(items);
        ++changeCount_;
    }
    int writeCalls = 0;

  private:
    std::vector<PasteboardItem> items_;
    long changeCount_ = 0;
};

}  // namespace pagemate::fake
