#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagemate {

// One pasteboard item: each type it offers (a MIME type or target name) with its bytes.
using PasteboardItem = std::map<std::string, std::string>;

// The general (system) pasteboard. Types are the platform's names; the plain-text type
// is whatever the platform reads as a string. Main thread only; reads may run the main
// loop while they wait for another program to hand its data over, so a caller must
// tolerate being re-entered from it.
class Pasteboard {
  public:
    virtual ~Pasteboard() = default;

    // Changes whenever the contents change, by this program or another one.
    [[nodiscard]] virtual long changeCount() = 0;
    [[nodiscard]] virtual std::size_t itemCount() = 0;
    [[nodiscard]] virtual std::vector<std::string> types(std::size_t item) = 0;
    [[nodiscard]] virtual std::optional<std::string> data(std::size_t item,
                                                          std::string_view type) = 0;
    // The plain-text string, when the pasteboard holds one.
    [[nodiscard]] virtual std::optional<std::string> string() = 0;

    virtual void clearContents() = 0;
    // Writes the items in one go, in order; the pasteboard should be cleared first.
    virtual bool writeItems(const std::vector<PasteboardItem>& items) = 0;
    // Makes the text the pasteboard's only content, as plain text.
    virtual bool setString(std::string_view text) = 0;
};

}  // namespace pagemate
