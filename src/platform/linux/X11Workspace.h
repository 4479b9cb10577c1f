#pragma once

#include <memory>

#include "platform/Workspace.h"

namespace pagemate::linux_backend {

// Applications as an EWMH window manager reports them: the active window, the client
// list (in stacking order for titles), each window's process id, WM_CLASS and title. Notion's Linux
// builds are given the identity "notion.id" so the core's comparisons stay as they are. Addresses
// open with the desktop's default handler.
class X11Workspace final : public Workspace {
  public:
    X11Workspace();
    X11Workspace(const X11Workspace&) = delete;
    X11Workspace& operator=(const X11Workspace&) = delete;
    ~X11Workspace() override;

    bool openURL(std::string_view url) override;
    bool openFile(const std::filesystem::path& path) override;
    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] std::vector<RunningApplication> runningApplications() override;
    bool activate(const RunningApplication& application) override;
    [[nodiscard]] std::optional<std::string> windowTitle(int pid) override;

    // The identity of a window class ("Notion" → "notion.id"; others as they are).
    static std::string identityForClass(std::string_view windowClass);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
