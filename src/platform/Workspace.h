#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagemate {

struct RunningApplication {
    int pid = 0;
    // The application's identity ("notion.id" for Notion); absent when unknown.
    std::optional<std::string> bundleIdentifier;
    std::string localizedName;  // empty when it has none
    bool operator==(const RunningApplication&) const = default;
};

// The desktop around the program: applications and the handlers that open addresses.
// Main thread only.
class Workspace {
  public:
    virtual ~Workspace() = default;
    // Opens an address with the desktop's default handler for its scheme.
    virtual bool openURL(std::string_view url) = 0;
    // Opens a file or folder with the desktop's default application for it (a folder
    // in the file manager).
    virtual bool openFile(const std::filesystem::path& path) = 0;

    [[nodiscard]] virtual std::optional<RunningApplication> frontmostApplication() = 0;
    [[nodiscard]] virtual std::vector<RunningApplication> runningApplications() = 0;
    // Asks the application to come to the front; it may take a moment or refuse.
    virtual bool activate(const RunningApplication& application) = 0;
    // The title the window system shows for the application's window: its active window
    // when it has the focus, else the one of its windows stacked highest. Absent when it
    // has no titled window. This is what the desktop's window list shows, and it is there
    // whether or not the application speaks to the accessibility interface.
    [[nodiscard]] virtual std::optional<std::string> windowTitle(int pid) = 0;
};

}  // namespace pagemate
