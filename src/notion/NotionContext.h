#pragma once

#include <map>
#include <string>

namespace pagemate {

// What is known of the Notion page the user is looking at.
struct NotionContext {
    std::string pageId;     // 8-4-4-4-12 hexadecimal digits, or empty
    std::string pageTitle;  // cleaned of Notion's window-title suffix
    std::string pageUrl;
    std::string selectedText;  // trimmed
    std::string source;        // "link", "windowTitle" or empty

    // Nothing of the page or the selection is known (the address alone does not count).
    [[nodiscard]] bool isEmpty() const {
        return pageId.empty() && pageTitle.empty() && selectedText.empty();
    }
    // The five members by their names, empty ones included.
    [[nodiscard]] std::map<std::string, std::string> jsonObject() const {
        return {{"pageId", pageId},
                {"pageTitle", pageTitle},
                {"pageUrl", pageUrl},
                {"selectedText", selectedText},
                {"source", source}};
    }
    bool operator==(const NotionContext&) const = default;
};

}  // namespace pagemate
