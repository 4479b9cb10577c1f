// The Debian package made by CPack from this build, unpacked into a scratch root: its files
// where the desktop looks, and the unpacked program finding its own data beside itself.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "harness/TestSupport.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedEnvironment;
using testing::TempDir;

// Runs a shell command: its exit status (-1 when it did not exit) and what it printed.
std::pair<int, std::string> run(const std::string& command) {
    int status = 0;
    std::string printed = testing::runShell("(" + command + ") 2>&1", &status);
    return {status, std::move(printed)};
}

TEST(Package, HoldsTheFilesWhereTheDesktopLooksPassesLintianAndTheProgramRunsFromThere) {
    const TempDir scratch;
    const auto [made, packed] =
        run("cd '" PAGEMATE_BUILD_DIR "' && '" CPACK_COMMAND "' -G DEB -B '" +
            scratch.path().string() + "/out'");
    ASSERT_EQ(made, 0) << packed;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(scratch.path() / "out")) {
        deb = entry.path().extension() == ".deb" ? entry.path().string() : deb;
    }
    const fs::path root = scratch.path() / "root";
    ASSERT_EQ(run("dpkg-deb -x " + deb + " " + root.string()).first, 0) << deb;
    EXPECT_EQ(run("dpkg-deb -f " + deb + " Package Version Section").second,
              "Package: pagemate\nVersion: " PAGEMATE_VERSION "-1\nSection: utils\n");
    // dpkg-shlibdeps named the libraries' packages; the services it talks to are recommended.
    const std::string relations = run("dpkg-deb -f " + deb + " Depends Recommends").second;
    for (const char* wanted :
         {"Depends: ", "libgtk-3-0", "libwebkit2gtk-4.1-0", "libsecret-1-0", "libcurl4",
          "libpocketsphinx3", "libc6", "Recommends: ", "pulseaudio | pipewire-pulse",
          "gnome-keyring | keepassxc", "pocketsphinx-en-us", "at-spi2-core", "libatk-adaptor"}) {
        EXPECT_NE(relations.find(wanted), std::string::npos) << wanted << " in " << relations;
    }

    const fs::path share = root / "usr/share";
    const fs::path menu = share / "applications/pagemate.desktop";
    const fs::path autostart = root / "etc/xdg/autostart/pagemate-autostart.desktop";
    const fs::path metainfo = share / "metainfo/com.fernwick.pagemate.metainfo.xml";
    for (const fs::path& file :
         {menu, autostart, metainfo, share / "man/man1/pagemate.1.gz",
          share / "doc/pagemate/copyright", share / "doc/pagemate/changelog.Debian.gz",
          share / "pagemate/speech/test-speech.txt",
          share / "icons/hicolor/scalable/apps/pagemate.svg",
          share / "icons/hicolor/scalable/apps/pagemate-symbolic.svg"}) {
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string side = std::to_string(size);
        const fs::path png = share / "icons/hicolor" / std::string(side).append("x").append(side) /
                             "apps/pagemate.png";
        EXPECT_TRUE(run("file -b " + png.string())
                        .second.starts_with(std::string("PNG image data, ")
                                                .append(side)
                                                .append(" x ")
                                                .append(side)
                                                .append(",")))
            << png;
    }
    // Nothing outside /usr but the autostart entry, which is a configuration file.
    EXPECT_EQ(run("ls " + root.string()).second, "etc\nusr\n");
    EXPECT_EQ(run("dpkg-deb -I " + deb + " conffiles").second,
              "/etc/xdg/autostart/pagemate-autostart.desktop\n");
    const fs::path program = root / "usr/bin/pagemate";
    for (const std::string& check :
         {"desktop-file-validate " + menu.string(), "desktop-file-validate " + autostart.string(),
          "appstreamcli validate --no-net " + metainfo.string()}) {
        const auto [status, output] = run(check);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output.find("error:"), std::string::npos) << output;
    }
    for (const auto& [file, lines] : std::vector<std::pair<fs::path, std::vector<std::string>>>{
             {menu,
              {"Name=页伴", "Icon=pagemate", "Exec=pagemate\n", "Exec=pagemate --quick-bar",
               "Exec=pagemate --panel", "Exec=pagemate --chat", "Exec=pagemate --meeting"}},
             {autostart, {"Exec=pagemate\n", "X-GNOME-Autostart-enabled=true", "NoDisplay=true"}},
             {metainfo,
              {"<release version=\"" PAGEMATE_VERSION "\"",
               "<launchable type=\"desktop-id\">pagemate.desktop</launchable>"}}}) {
        for (const std::string& line : lines) {
            EXPECT_NE(readFile(file).find(line), std::string::npos) << line << " in " << file;
        }
    }

    // Debian's package checker finds no error and nothing to warn about but that the first
    // changelog entry closes no bug of Debian's: the package is not in the archive, so no request
    // for it exists.
    const auto [linted, lintian] =
        run("lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs " + deb);
    EXPECT_EQ(linted, 0) << lintian;

    EXPECT_EQ(run(program.string() + " --version"),
              std::pair(0, std::string("pagemate " PAGEMATE_VERSION "\n")));
    const TempDir home;
    const ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    const ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const ScopedEnvironment settings("GSETTINGS_BACKEND", "memory");
    // The transcription probe reads the sentence installed beside the program (not the
    // source tree's, which the build also knows) with pocketsphinx's system model.
    fs::remove("/tmp/pagemate-ttstest.json");
    const auto [probed, said] = run("timeout 120 " + program.string() + " --ttstest");
    EXPECT_EQ(probed, 0) << said;
    const auto probe =
        nlohmann::json::parse(readFile("/tmp/pagemate-ttstest.json"), nullptr, false);
    EXPECT_EQ(probe["sample"], (share / "pagemate/speech/test-speech.wav").string())
        << probe.dump(2);
    EXPECT_EQ(probe["ok"], true) << probe.dump(2);
}

}  // namespace
}  // namespace pagemate
