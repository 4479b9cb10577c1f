#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "harness/TestSupport.h"

namespace pagemate::testing {

// A home, a data folder and a temporary directory of the test's own ($HOME,
// $XDG_DATA_HOME, $TMPDIR), so that recordings and their raw files land there.
class MeetingFolders {
  public:
    MeetingFolders() {
        std::filesystem::create_directories(tmp());
        std::filesystem::create_directories(home());
    }
    [[nodiscard]] std::filesystem::path tmp() const { return root_.path() / "tmp"; }
    [[nodiscard]] std::filesystem::path home() const { return root_.path() / "home"; }
    [[nodiscard]] std::filesystem::path data() const { return root_.path() / "data"; }
    [[nodiscard]] std::filesystem::path recordings() const {
        return data() / "Pagemate 助手" / "会议录音";
    }
    // The "pagemate-meeting-*" folders in the temporary directory.
    [[nodiscard]] std::vector<std::filesystem::path> meetingFolders() const {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(tmp())) {
            if (entry.path().filename().string().starts_with("pagemate-meeting-")) {
                found.push_back(entry.path());
            }
        }
        return found;
    }
    [[nodiscard]] std::vector<std::filesystem::path> savedFiles() const {
        std::vector<std::filesystem::path> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(recordings(), error)) {
            found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

  private:
    TempDir root_;
    ScopedEnvironment tmpVariable_{"TMPDIR", (root_.path() / "tmp").c_str()};
    ScopedEnvironment homeVariable_{"HOME", (root_.path() / "home").c_str()};
    ScopedEnvironment dataVariable_{"XDG_DATA_HOME", (root_.path() / "data").c_str()};
};

}  // namespace pagemate::testing
