#include "harness/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pagemate::testing {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pagemate-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << contents;
}

LogCapture::LogCapture()
    : writer_(directory_.path() / "log", &std::chrono::system_clock::now, -1), redirect_(writer_) {}

std::string LogCapture::text() const {
    return readFile(writer_.path());
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> result;
    std::istringstream lines(text());
    std::string line;
    while (std::getline(lines, line)) {
        // "[HH:mm:ss.SSS] " is 15 bytes.
        result.push_back(line.size() >= 15 && line[0] == '[' ? line.substr(15) : line);
    }
    return result;
}

bool LogCapture::contains(const std::string& message) const {
    for (const std::string& logged : messages()) {
        if (logged == message) {
            return true;
        }
    }
    return false;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* previous = std::getenv(name_.c_str())) {
        hadValue_ = true;
        previous_ = previous;
    }
    if (value != nullptr) {
        ::setenv(name_.c_str(), value, 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (hadValue_) {
        ::setenv(name_.c_str(), previous_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

}  // namespace pagemate::testing
