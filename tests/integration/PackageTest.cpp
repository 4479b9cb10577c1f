// The Debian package as a user gets it: made by CPack from this build, unpacked into a
// scratch root, its files where the desktop looks for them, and the unpacked program run
// from there, finding its own data beside itself.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "harness/TestSupport.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::ScopedEnvironment;
using testing::TempDir;

const std::vector<int> kIconSizes = {16, 22, 24, 32, 48, 64, 128, 256};

struct Result {
    int status = -1;
    std::string output;  // standard output and error together
};

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

Result run(const std::string& command) {
    Result result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    for (std::size_t read = 0; (read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        result.output.append(buffer.data(), read);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A PNG's width and height, from its header; {0, 0} when it is not a PNG.
std::pair<int, int> pngSize(const fs::path& path) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) {
        return {0, 0};
    }
    const auto number = [&](std::size_t at) {
        int value = 0;
        for (std::size_t index = at; index < at + 4; ++index) {
            value = value * 256 + static_cast<unsigned char>(bytes[index]);
        }
        return value;
    };
    return {number(16), number(20)};
}

// The package, built once for every case.
class Package : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scratch = std::make_unique<TempDir>();
        const Result made =
            run("cd " + quoted(PAGEMATE_BUILD_DIR) + " && " + quoted(CPACK_COMMAND) +
                " -G DEB -B " + quoted(scratch->path() / "out"));
        ASSERT_EQ(made.status, 0) << made.output;
        for (const auto& entry : fs::directory_iterator(scratch->path() / "out")) {
            if (entry.path().extension() == ".deb") {
                deb = entry.path();
            }
        }
        ASSERT_FALSE(deb.empty()) << made.output;
        root = scratch->path() / "root";
        const Result unpacked = run("dpkg-deb -x " + quoted(deb) + " " + quoted(root));
        ASSERT_EQ(unpacked.status, 0) << unpacked.output;
    }
    static void TearDownTestSuite() { scratch.reset(); }

    static std::string field(const std::string& name) {
        const Result shown = run("dpkg-deb -f " + quoted(deb) + " " + name);
        EXPECT_EQ(shown.status, 0) << shown.output;
        std::string value = shown.output;
        while (!value.empty() && value.back() == '\n') {
            value.pop_back();
        }
        return value;
    }

    static inline std::unique_ptr<TempDir> scratch;
    static inline fs::path deb;
    static inline fs::path root;
};

TEST_F(Package, HoldsTheFilesWhereTheDesktopLooks) {
    std::string architecture = run("dpkg --print-architecture").output;
    architecture.erase(architecture.find_last_not_of('\n') + 1);
    EXPECT_EQ(deb.filename(), "pagemate_" PAGEMATE_VERSION "-1_" + architecture + ".deb");
    EXPECT_EQ(field("Package"), "pagemate");
    EXPECT_EQ(field("Version"), PAGEMATE_VERSION "-1");
    EXPECT_EQ(field("Section"), "utils");
    // dpkg-shlibdeps named the libraries' packages.
    const std::string depends = field("Depends");
    for (const char* library : {"libgtk-3-0", "libwebkit2gtk-4.1-0", "libsecret-1-0", "libcurl4",
                                "libpocketsphinx3", "libc6"}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    }
    const std::string recommends = field("Recommends");
    for (const char* wanted : {"pulseaudio | pipewire-pulse", "gnome-keyring | keepassxc",
                               "pocketsphinx-en-us", "at-spi2-core", "libatk-adaptor"}) {
        EXPECT_NE(recommends.find(wanted), std::string::npos) << wanted << " in " << recommends;
    }

    const fs::path usr = root / "usr";
    for (const fs::path& file :
         {usr / "bin" / "pagemate", usr / "share" / "applications" / "pagemate.desktop",
          root / "etc" / "xdg" / "autostart" / "pagemate-autostart.desktop",
          usr / "share" / "metainfo" / "com.fernwick.pagemate.metainfo.xml",
          usr / "share" / "man" / "man1" / "pagemate.1.gz",
          usr / "share" / "doc" / "pagemate" / "copyright",
          usr / "share" / "doc" / "pagemate" / "changelog.Debian.gz",
          usr / "share" / "pagemate" / "speech" / "test-speech.wav",
          usr / "share" / "pagemate" / "speech" / "test-speech.txt",
          usr / "share" / "icons" / "hicolor" / "scalable" / "apps" / "pagemate.svg",
          usr / "share" / "icons" / "hicolor" / "scalable" / "apps" / "pagemate-symbolic.svg"}) {
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
    }
    for (const int size : kIconSizes) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        const fs::path png = usr / "share" / "icons" / "hicolor" / folder / "apps" / "pagemate.png";
        EXPECT_EQ(pngSize(png), std::make_pair(size, size)) << png;
    }
    // Nothing outside /usr but the autostart entry, which is a configuration file.
    for (const auto& entry : fs::directory_iterator(root)) {
        EXPECT_TRUE(entry.path().filename() == "usr" || entry.path().filename() == "etc")
            << entry.path();
    }
    const fs::path control = scratch->path() / "control";
    ASSERT_EQ(run("dpkg-deb -e " + quoted(deb) + " " + quoted(control)).status, 0);
    EXPECT_EQ(readFile(control / "conffiles"), "/etc/xdg/autostart/pagemate-autostart.desktop\n");

    // The program's permissions are the usual ones, and it is stripped.
    EXPECT_EQ(fs::status(usr / "bin" / "pagemate").permissions(),
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    const Result sections = run("readelf -S " + quoted(usr / "bin" / "pagemate"));
    EXPECT_EQ(sections.output.find(".symtab"), std::string::npos) << "not stripped";
    EXPECT_EQ(sections.output.find(".debug_info"), std::string::npos) << "not stripped";
}

TEST_F(Package, DesktopEntriesAndAppStreamDataAreValid) {
    const fs::path usr = root / "usr";
    for (const fs::path& entry :
         {usr / "share" / "applications" / "pagemate.desktop",
          root / "etc" / "xdg" / "autostart" / "pagemate-autostart.desktop"}) {
        const Result checked = run("desktop-file-validate " + quoted(entry));
        EXPECT_EQ(checked.status, 0) << checked.output;
        EXPECT_EQ(checked.output.find("error:"), std::string::npos) << checked.output;
    }
    const std::string menu = readFile(usr / "share" / "applications" / "pagemate.desktop");
    for (const char* line :
         {"Name=页伴", "Icon=pagemate", "Exec=pagemate\n", "Exec=pagemate --quick-bar",
          "Exec=pagemate --panel", "Exec=pagemate --chat", "Exec=pagemate --meeting"}) {
        EXPECT_NE(menu.find(line), std::string::npos) << line;
    }
    const std::string autostart =
        readFile(root / "etc" / "xdg" / "autostart" / "pagemate-autostart.desktop");
    for (const char* line :
         {"Exec=pagemate\n", "X-GNOME-Autostart-enabled=true", "NoDisplay=true"}) {
        EXPECT_NE(autostart.find(line), std::string::npos) << line;
    }

    const fs::path metainfo = usr / "share" / "metainfo" / "com.fernwick.pagemate.metainfo.xml";
    const Result validated = run("appstreamcli validate --no-net " + quoted(metainfo));
    EXPECT_EQ(validated.status, 0) << validated.output;
    const std::string appstream = readFile(metainfo);
    EXPECT_NE(appstream.find("<release version=\"" PAGEMATE_VERSION "\""), std::string::npos);
    EXPECT_NE(appstream.find("<launchable type=\"desktop-id\">pagemate.desktop</launchable>"),
              std::string::npos);
}

TEST_F(Package, TheUnpackedProgramRunsOnItsOwnData) {
    const fs::path program = root / "usr" / "bin" / "pagemate";
    const Result version = run(quoted(program) + " --version");
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_EQ(version.output, "pagemate " PAGEMATE_VERSION "\n");

    const TempDir home;
    const ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    const ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const ScopedEnvironment server("PGM_SERVER_URL", "http://127.0.0.1:1");
    const ScopedEnvironment settings("GSETTINGS_BACKEND", "memory");

    fs::remove("/tmp/pagemate-selftest.json");
    const Result selfTest = run("timeout 60 " + quoted(program) + " --selftest");
    EXPECT_EQ(selfTest.status, 0) << selfTest.output;
    const json selfReport = json::parse(readFile("/tmp/pagemate-selftest.json"), nullptr, false);
    EXPECT_EQ(selfReport["serverURL"], "http://127.0.0.1:1") << selfReport.dump(2);
    EXPECT_EQ(selfReport["urlParseSample"]["title"], "项目计划");

    // The transcription probe reads the sentence installed beside the program (not the
    // source tree's, which the build also knows) with pocketsphinx's system model.
    ASSERT_FALSE(fs::exists("/tmp/pagemate-tts-sample.wav"))
        << "an external sample would replace the program's own";
    fs::remove("/tmp/pagemate-ttstest.json");
    const Result ttsTest = run("timeout 120 " + quoted(program) + " --ttstest");
    EXPECT_EQ(ttsTest.status, 0) << ttsTest.output;
    const json ttsReport = json::parse(readFile("/tmp/pagemate-ttstest.json"), nullptr, false);
    EXPECT_EQ(ttsReport["sample"],
              (root / "usr" / "share" / "pagemate" / "speech" / "test-speech.wav").string())
        << ttsReport.dump(2);
    EXPECT_EQ(ttsReport["ok"], true) << ttsReport.dump(2);
    EXPECT_GE(ttsReport["wordMatchRatio"].get<double>(), 0.6) << ttsReport.dump(2);
}

// Debian's package checker finds nothing to warn about. The one warning left to it is
// that the first changelog entry closes no bug of Debian's: the package is not in the
// archive, so there is no request for it to close.
TEST_F(Package, PassesLintian) {
    const Result checked =
        run("lintian --fail-on error,warning --display-info "
            "--suppress-tags initial-upload-closes-no-bugs " +
            quoted(deb));
    EXPECT_EQ(checked.status, 0) << checked.output;
    for (const char* level : {"E: ", "W: "}) {
        EXPECT_EQ(checked.output.find(level), std::string::npos) << checked.output;
    }
}

TEST(Install, PutsTheAutostartEntryInsideAScratchPrefix) {
    const TempDir prefix;
    const Result installed = run(quoted(CMAKE_COMMAND) + " --install " +
                                 quoted(PAGEMATE_BUILD_DIR) + " --prefix " + quoted(prefix.path()));
    ASSERT_EQ(installed.status, 0) << installed.output;
    EXPECT_TRUE(fs::is_regular_file(prefix.path() / "etc" / "xdg" / "autostart" /
                                    "pagemate-autostart.desktop"))
        << installed.output;
    EXPECT_TRUE(fs::is_regular_file(prefix.path() / "share" / "applications" / "pagemate.desktop"));
    EXPECT_TRUE(fs::is_regular_file(prefix.path() / "bin" / "pagemate"));
}

}  // namespace
}  // namespace pagemate
