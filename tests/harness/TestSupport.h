#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/AppLog.h"

namespace pagemate::testing {

// A fresh directory under $TMPDIR, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

// Sends the program's log to a private file while it lives.
class LogCapture {
  public:
    LogCapture();
    [[nodiscard]] std::string text() const;
    // The messages logged, without their time stamps.
    [[nodiscard]] std::vector<std::string> messages() const;
    [[nodiscard]] bool contains(const std::string& message) const;

  private:
    TempDir directory_;
    LogWriter writer_;
    AppLog::ScopedRedirect redirect_;
};

// Sets an environment variable for the scope; restores the previous state after.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const char* value);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

  private:
    std::string name_;
    bool hadValue_ = false;
    std::string previous_;
};

}  // namespace pagemate::testing
