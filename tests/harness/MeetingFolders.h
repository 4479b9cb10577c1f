#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "harness/TestSupport.h"

namespace pagemate::testing {

// $HOME, $XDG_DATA_HOME and $TMPDIR of the test's own: recordings and raw files land there.
class MeetingFolders {
  public:
    MeetingFolders() {
        std::filesystem::create_directories(tmp());
        std::filesystem::create_directories(home());
    }
    [[nodiscard]] std::filesystem::path tmp() const { return root_.path() / "tmp"; }
    [[nodiscard]] std::filesystem::path home() const { return root_.path() / "home"; }
    [[nodiscard]] std::filesystem::path recordings() const {
        return root_.path() / "data" / "Pagemate 助手" / "会议录音";
    }
    // The meetings' raw folders, and the saved recordings in name order.
    [[nodiscard]] std::vector<std::filesystem::path> meetingFolders() const {
        return listed(tmp(), "pagemate-meeting-");
    }
    [[nodiscard]] std::vector<std::filesystem::path> savedFiles() const {
        return listed(recordings(), "");
    }

  private:
    static std::vector<std::filesystem::path> listed(const std::filesystem::path& folder,
                                                     const std::string& prefix) {
        std::vector<std::filesystem::path> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            if (entry.path().filename().string().starts_with(prefix)) {
                found.push_back(entry.path());
            }
        }
        std::ranges::sort(found);
        return found;
    }
    TempDir root_;
    ScopedEnvironment tmpVariable_{"TMPDIR", (root_.path() / "tmp").c_str()};
    ScopedEnvironment homeVariable_{"HOME", (root_.path() / "home").c_str()};
    ScopedEnvironment dataVariable_{"XDG_DATA_HOME", (root_.path() / "data").c_str()};
};

}  // namespace pagemate::testing
