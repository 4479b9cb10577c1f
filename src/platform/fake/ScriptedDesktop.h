#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Accessibility.h"
#include "platform/KeyEvents.h"
#include "platform/Workspace.h"

namespace pagemate::fake {

// Records posted keystrokes; the test scripts how the frontmost application reacts.
class ScriptedKeyEvents final : public KeyEvents {
  public:
    struct Stroke {
        std::uint16_t key;
        bool down;
        std::uint64_t flags;
        bool operator==(const Stroke&) const = default;
    };

    [[nodiscard]] bool canPost() override { return postable; }
    void post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) override {
        strokes.push_back({virtualKey, keyDown, flags});
        if (keyDown && onKeyDown) {
            onKeyDown(virtualKey, flags);
        }
    }

    bool postable = true;
    std::vector<Stroke> strokes;
    std::function<void(std::uint16_t, std::uint64_t)> onKeyDown;
};

// Applications, the frontmost one and how activation answers, as the test sets them.
class ScriptedWorkspace final : public Workspace {
  public:
    bool openURL(std::string_view url) override {
        const std::lock_guard lock(mutex_);
        opened_.emplace_back(url);
        return true;
    }
    bool openFile(const std::filesystem::path& path) override {
        const std::lock_guard lock(mutex_);
        openedFiles_.push_back(path);
        return true;
    }
    [[nodiscard]] std::vector<std::filesystem::path> openedFiles() const {
        const std::lock_guard lock(mutex_);
        return openedFiles_;
    }
    [[nodiscard]] std::vector<std::string> opened() const {
        const std::lock_guard lock(mutex_);
        return opened_;
    }

    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override {
        return frontmost;
    }
    [[nodiscard]] std::vector<RunningApplication> runningApplications() override { return running; }
    bool activate(const RunningApplication& application) override {
        activations.push_back(application);
        if (onActivate) {
            onActivate(application);
        }
        return true;
    }

    [[nodiscard]] std::optional<std::string> windowTitle(int pid) override {
        const auto found = windowTitles.find(pid);
        return found == windowTitles.end() ? std::nullopt : std::optional(found->second);
    }

    std::optional<RunningApplication> frontmost;
    std::vector<RunningApplication> running;
    std::map<int, std::string> windowTitles;
    std::vector<RunningApplication> activations;
    std::function<void(const RunningApplication&)> onActivate;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
    std::vector<std::filesystem::path> openedFiles_;
};

// An accessibility tree reduced to what the program asks of it.
class ScriptedAccessibility final : public Accessibility {
  public:
    static TrustStatus untrusted() { return {UntrustedReason::noAccessibilityBus, ""}; }

    [[nodiscard]] TrustStatus trustStatus() override {
        ++statusQueries;
        return status;
    }
    void requestPermission() override { ++permissionRequests; }
    void openSettings() override { ++settingsOpened; }
    [[nodiscard]] std::optional<std::string> focusedWindowTitle(int pid) override {
        const auto found = windowTitles.find(pid);
        return found == windowTitles.end() ? std::nullopt : std::optional(found->second);
    }
    [[nodiscard]] bool hasFocusedElement(int) override { return focusedElement; }
    [[nodiscard]] std::optional<std::string> focusedElementRole(int) override { return role; }
    [[nodiscard]] std::optional<bool> selectedTextSettable(int) override { return settable; }
    int setSelectedText(int, std::string_view text) override {
        writes.emplace_back(text);
        return writeResult;
    }

    // Trusted unless the test says otherwise; untrusted() is the usual way to say it.
    TrustStatus status;
    int statusQueries = 0;
    int permissionRequests = 0;
    int settingsOpened = 0;
    std::map<int, std::string> windowTitles;
    bool focusedElement = true;
    std::optional<std::string> role = std::string("AXTextArea");
    std::optional<bool> settable = false;
    int writeResult = Accessibility::success;
    std::vector<std::string> writes;
};

}  // namespace pagemate::fake
