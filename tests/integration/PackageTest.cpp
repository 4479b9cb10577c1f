// The Debian package as a user gets it: made by CPack from this build, unpacked into a
// scratch root, its files where the desktop looks for them, and the unpacked program run
// from there, finding its own data beside itself.

#include <arpa/inet.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "harness/TestSupport.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::ScopedEnvironment;
using testing::TempDir;

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// Runs a shell command: its exit status (-1 when it did not exit) and its standard output
// and error together.
std::pair<int, std::string> run(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    std::string output;
    std::array<char, 4096> buffer{};
    for (std::size_t read = 0;
         pipe != nullptr && (read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), read);
    }
    const int status = pipe == nullptr ? -1 : ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// A PNG's width and height, from its header; {0, 0} when it is not a PNG.
std::pair<int, int> pngSize(const fs::path& path) {
    const std::string bytes = readFile(path);
    const auto number = [&](std::size_t at) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        return static_cast<int>(ntohl(value));
    };
    return bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0 ? std::pair(0, 0)
                                                                : std::pair(number(16), number(20));
}

// The package, built and unpacked once for every case.
class Package : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scratch = std::make_unique<TempDir>();
        const auto [made, output] =
            run("cd " + quoted(PAGEMATE_BUILD_DIR) + " && " + quoted(CPACK_COMMAND) +
                " -G DEB -B " + quoted(scratch->path() / "out"));
        ASSERT_EQ(made, 0) << output;
        for (const auto& entry : fs::directory_iterator(scratch->path() / "out")) {
            deb = entry.path().extension() == ".deb" ? entry.path() : deb;
        }
        root = scratch->path() / "root";
        ASSERT_EQ(run("dpkg-deb -x " + quoted(deb) + " " + quoted(root)).first, 0) << output;
    }
    static void TearDownTestSuite() { scratch.reset(); }

    static std::string field(const std::string& name) {
        std::string value = run("dpkg-deb -f " + quoted(deb) + " " + name).second;
        return value.substr(0, value.find('\n'));
    }

    static inline std::unique_ptr<TempDir> scratch;
    static inline fs::path deb;
    static inline fs::path root;
};

TEST_F(Package, HoldsTheFilesWhereTheDesktopLooks) {
    const std::string architecture = run("dpkg --print-architecture").second;
    EXPECT_EQ(deb.filename(), "pagemate_" PAGEMATE_VERSION "-1_" +
                                  architecture.substr(0, architecture.find('\n')) + ".deb");
    EXPECT_EQ(field("Package") + " " + field("Version") + " " + field("Section"),
              "pagemate " PAGEMATE_VERSION "-1 utils");
    // dpkg-shlibdeps named the libraries' packages.
    const std::string depends = field("Depends");
    const std::string recommends = field("Recommends");
    for (const char* library : {"libgtk-3-0", "libwebkit2gtk-4.1-0", "libsecret-1-0", "libcurl4",
                                "libpocketsphinx3", "libc6"}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    }
    for (const char* wanted : {"pulseaudio | pipewire-pulse", "gnome-keyring | keepassxc",
                               "pocketsphinx-en-us", "at-spi2-core", "libatk-adaptor"}) {
        EXPECT_NE(recommends.find(wanted), std::string::npos) << wanted << " in " << recommends;
    }

    const fs::path share = root / "usr" / "share";
    const fs::path icons = share / "icons" / "hicolor";
    for (const fs::path& file :
         {root / "usr" / "bin" / "pagemate", share / "applications" / "pagemate.desktop",
          root / "etc" / "xdg" / "autostart" / "pagemate-autostart.desktop",
          share / "metainfo" / "com.fernwick.pagemate.metainfo.xml",
          share / "man" / "man1" / "pagemate.1.gz", share / "doc" / "pagemate" / "copyright",
          share / "doc" / "pagemate" / "changelog.Debian.gz",
          share / "pagemate" / "speech" / "test-speech.wav",
          share / "pagemate" / "speech" / "test-speech.txt",
          icons / "scalable" / "apps" / "pagemate.svg",
          icons / "scalable" / "apps" / "pagemate-symbolic.svg"}) {
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        EXPECT_EQ(pngSize(icons / folder / "apps" / "pagemate.png"), std::pair(size, size)) << size;
    }
    // Nothing outside /usr but the autostart entry, which is a configuration file.
    for (const auto& entry : fs::directory_iterator(root)) {
        EXPECT_TRUE(entry.path().filename() == "usr" || entry.path().filename() == "etc")
            << entry.path();
    }
    const fs::path control = scratch->path() / "control";
    ASSERT_EQ(run("dpkg-deb -e " + quoted(deb) + " " + quoted(control)).first, 0);
    EXPECT_EQ(readFile(control / "conffiles"), "/etc/xdg/autostart/pagemate-autostart.desktop\n");

    // The program's permissions are the usual ones, and it is stripped.
    EXPECT_EQ(fs::status(root / "usr" / "bin" / "pagemate").permissions(),
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    const std::string sections =
        run("readelf -S " + quoted(root / "usr" / "bin" / "pagemate")).second;
    EXPECT_EQ(sections.find(".symtab"), std::string::npos) << "not stripped";
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos) << "not stripped";
}

TEST_F(Package, DesktopEntriesAndAppStreamDataAreValid) {
    const fs::path menu = root / "usr" / "share" / "applications" / "pagemate.desktop";
    const fs::path autostart = root / "etc" / "xdg" / "autostart" / "pagemate-autostart.desktop";
    const fs::path metainfo =
        root / "usr" / "share" / "metainfo" / "com.fernwick.pagemate.metainfo.xml";
    for (const std::string& check :
         {"desktop-file-validate " + quoted(menu), "desktop-file-validate " + quoted(autostart),
          "appstreamcli validate --no-net " + quoted(metainfo)}) {
        const auto [status, output] = run(check);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output.find("error:"), std::string::npos) << output;
    }
    const std::vector<std::pair<fs::path, std::vector<std::string>>> expected = {
        {menu,
         {"Name=页伴", "Icon=pagemate", "Exec=pagemate\n", "Exec=pagemate --quick-bar",
          "Exec=pagemate --panel", "Exec=pagemate --chat", "Exec=pagemate --meeting"}},
        {autostart, {"Exec=pagemate\n", "X-GNOME-Autostart-enabled=true", "NoDisplay=true"}},
        {metainfo,
         {"<release version=\"" PAGEMATE_VERSION "\"",
          "<launchable type=\"desktop-id\">pagemate.desktop</launchable>"}},
    };
    for (const auto& [file, lines] : expected) {
        const std::string text = readFile(file);
        for (const std::string& line : lines) {
            EXPECT_NE(text.find(line), std::string::npos) << line << " in " << file;
        }
    }
}

TEST_F(Package, TheUnpackedProgramRunsOnItsOwnData) {
    const fs::path program = root / "usr" / "bin" / "pagemate";
    EXPECT_EQ(run(quoted(program) + " --version"),
              std::pair(0, std::string("pagemate " PAGEMATE_VERSION "\n")));

    const TempDir home;
    const ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    const ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const ScopedEnvironment server("PGM_SERVER_URL", "http://127.0.0.1:1");
    const ScopedEnvironment settings("GSETTINGS_BACKEND", "memory");
    // Runs the program in a mode that writes a report to `report`, and reads it.
    const auto reportOf = [&](const std::string& mode, const std::string& report) {
        fs::remove(report);
        const auto [status, output] = run("timeout 120 " + quoted(program) + " " + mode);
        EXPECT_EQ(status, 0) << output;
        return json::parse(readFile(report), nullptr, false);
    };
    const json selfTest = reportOf("--selftest", "/tmp/pagemate-selftest.json");
    EXPECT_EQ(selfTest["serverURL"], "http://127.0.0.1:1") << selfTest.dump(2);
    EXPECT_EQ(selfTest["urlParseSample"]["title"], "项目计划");

    // The transcription probe reads the sentence installed beside the program (not the
    // source tree's, which the build also knows) with pocketsphinx's system model.
    ASSERT_FALSE(fs::exists("/tmp/pagemate-tts-sample.wav"))
        << "an external sample would replace the program's own";
    const json probe = reportOf("--ttstest", "/tmp/pagemate-ttstest.json");
    EXPECT_EQ(probe["sample"], (root / "usr/share/pagemate/speech/test-speech.wav").string())
        << probe.dump(2);
    EXPECT_EQ(probe["ok"], true) << probe.dump(2);
    EXPECT_GE(probe["wordMatchRatio"].get<double>(), 0.6) << probe.dump(2);
}

// Debian's package checker finds nothing to warn about. The one warning left to it is
// that the first changelog entry closes no bug of Debian's: the package is not in the
// archive, so there is no request for it to close.
TEST_F(Package, PassesLintian) {
    const auto [status, output] =
        run("lintian --fail-on error,warning --display-info "
            "--suppress-tags initial-upload-closes-no-bugs " +
            quoted(deb));
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("E: "), std::string::npos) << output;
    EXPECT_EQ(output.find("W: "), std::string::npos) << output;
}

TEST(Install, PutsTheAutostartEntryInsideAScratchPrefix) {
    const TempDir prefix;
    const auto [status, output] =
        run(quoted(CMAKE_COMMAND) + " --install " + quoted(PAGEMATE_BUILD_DIR) + " --prefix " +
            quoted(prefix.path()));
    ASSERT_EQ(status, 0) << output;
    for (const char* file : {"etc/xdg/autostart/pagemate-autostart.desktop",
                             "share/applications/pagemate.desktop", "bin/pagemate"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix.path() / file)) << file << "\n" << output;
    }
}

}  // namespace
}  // namespace pagemate
