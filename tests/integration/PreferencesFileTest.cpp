#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/JsonPreferencesStore.h"

namespace pagemate {
namespace {

using linux_backend::JsonPreferencesStore;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::filesystem::path> entriesOf(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        entries.push_back(entry.path().filename());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

TEST(PreferencesFile, ValuesSurviveARestartAndUnknownMembersAreKept) {
    const TempDir directory;
    const auto file = directory.path() / "deep" / "pagemate" / "preferences.json";
    {
        JsonPreferencesStore store(file);  // its folder is made on the first change
        EXPECT_EQ(store.value("model"), std::nullopt);
        store.setValue("model", std::string("deepseek-chat"));
    }
    // Another version of the program left a member of its own.
    writeFile(file, R"({"fromAnotherVersion":[1,2,{"x":null}],"model":"deepseek-chat"})");
    {
        JsonPreferencesStore store(file);
        EXPECT_EQ(store.value("model"), PreferenceValue(std::string("deepseek-chat")));
        EXPECT_EQ(store.value("fromAnotherVersion"), PreferenceValue(UnusablePreference{}));
        store.setValue("panelHeight", 720.5);
        store.setValue("archiveConversations", false);
        store.removeValue("model");
    }
    JsonPreferencesStore restarted(file);
    EXPECT_EQ(restarted.value("panelHeight"), PreferenceValue(720.5));
    EXPECT_EQ(restarted.value("archiveConversations"), PreferenceValue(false));
    EXPECT_EQ(restarted.value("model"), std::nullopt);
    const auto saved = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(saved["fromAnotherVersion"], nlohmann::json::parse(R"([1,2,{"x":null}])"));
    // Only the file itself is left: no temporary files, private mode.
    EXPECT_EQ(entriesOf(file.parent_path()),
              std::vector<std::filesystem::path>{"preferences.json"});
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A file that cannot be read as settings (damaged, or not a file at all) is moved aside
// for the user, said once in the log, and a new one takes its place.
TEST(PreferencesFile, DamagedFilesAreMovedAsideAndLogged) {
    const std::vector<std::optional<std::string>> damaged = {
        "{not json", "[1,2,3]", "\"text\"", "", "{\"a\":1} trailing", std::nullopt};
    for (const std::optional<std::string>& contents : damaged) {
        const std::string name = contents.value_or("(a folder)");
        const testing::LogCapture log;
        const TempDir directory;
        const auto file = directory.path() / "preferences.json";
        contents ? writeFile(file, *contents) : (void)std::filesystem::create_directory(file);
        JsonPreferencesStore store(file);
        EXPECT_EQ(store.value("panelHeight"), std::nullopt) << name;
        store.setValue("model", std::string("after"));

        const auto entries = entriesOf(directory.path());
        ASSERT_EQ(entries.size(), 2u) << name;
        const auto aside = directory.path() / entries[1];
        EXPECT_TRUE(entries[1].string().starts_with("preferences.json.corrupt-")) << entries[1];
        if (contents) {
            EXPECT_EQ(readFile(aside), *contents);  // the user's file, unchanged
        }
        EXPECT_EQ(nlohmann::json::parse(readFile(file))["model"], "after");
        ASSERT_EQ(log.messages().size(), 1u);
        EXPECT_TRUE(log.messages()[0].starts_with("设置：偏好文件 ")) << log.text();
        EXPECT_NE(log.messages()[0].find(aside.string()), std::string::npos);
    }
}

// A writer killed at an arbitrary moment leaves the previous or the next settings,
// never a torn file.
TEST(PreferencesFile, KilledWriterNeverLeavesATornFile) {
    const TempDir directory;
    const auto file = directory.path() / "preferences.json";
    {
        JsonPreferencesStore store(file);
        store.setValue("model", std::string(4096, 'a'));
    }
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            JsonPreferencesStore store(file);
            for (int index = 0;; ++index) {
                store.setValue("model", std::string(4096 + index % 7, 'b'));
                store.setValue("counter", static_cast<double>(index));
            }
        }
        ::usleep(static_cast<useconds_t>(2000 + round * 500));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const auto parsed = nlohmann::json::parse(readFile(file), nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "round " << round;
        ASSERT_TRUE(parsed["model"].is_string());
        EXPECT_GE(parsed["model"].get<std::string>().size(), 4096u);
    }
}

TEST(PreferencesFile, DefaultPathFollowsXdgConfigHome) {
    {
        const testing::ScopedEnvironment config("XDG_CONFIG_HOME", "/srv/config");
        EXPECT_EQ(JsonPreferencesStore::defaultPath(), "/srv/config/pagemate/preferences.json");
    }
    const testing::ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/dir");
    const testing::ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(JsonPreferencesStore::defaultPath(),
              "/home/someone/.config/pagemate/preferences.json");
}

// The file is a stored format other versions and the user read: the settings' own key
// names and value types, as they appear in it; what is missing or mistyped reads as the
// default.
TEST(PreferencesFile, SettingsAreStoredUnderTheirKeys) {
    const TempDir directory;
    const auto file = directory.path() / "preferences.json";
    const fake::FakePlatform platform;
    const testing::ScopedEnvironment noServer("PGM_SERVER_URL", nullptr);
    Platform::current().preferences = std::make_unique<JsonPreferencesStore>(file);
    Settings& settings = Settings::shared();
    const auto expectDefaults = [&] {
        EXPECT_EQ(settings.serverURL(), "http://127.0.0.1:4310");
        EXPECT_EQ(settings.model(), "");
        EXPECT_EQ(settings.agentMode(), "auto");
        EXPECT_EQ(settings.panelHeight(), 560);
        EXPECT_TRUE(settings.quickBarFollowsCursor());
        EXPECT_TRUE(settings.archiveConversations());
        EXPECT_TRUE(settings.recordMeetingAudio());
    };
    expectDefaults();

    settings.setModel("deepseek-v4-pro");
    settings.setAgentMode("readonly");
    settings.setPanelHeight(612);
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(false);
    settings.setRecordMeetingAudio(false);
    EXPECT_EQ(nlohmann::json::parse(readFile(file)),
              nlohmann::json::parse(R"({"model": "deepseek-v4-pro", "agentMode": "readonly",
                  "panelHeight": 612.0, "quickBarFollowsCursor": false,
                  "archiveConversations": false, "recordMeetingAudio": false})"));

    // A file written by hand (or by another version) is read under the same names.
    writeFile(file, R"({"model": "deepseek-chat", "agentMode": "confirm", "panelHeight": 480,
                        "recordMeetingAudio": false})");
    Platform::current().preferences = std::make_unique<JsonPreferencesStore>(file);
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_EQ(settings.agentMode(), "confirm");
    EXPECT_EQ(settings.panelHeight(), 480);
    EXPECT_FALSE(settings.recordMeetingAudio());
    writeFile(file, R"({"model": 3, "agentMode": true, "panelHeight": "tall",
                        "quickBarFollowsCursor": "false", "archiveConversations": 0,
                        "recordMeetingAudio": [false]})");
    Platform::current().preferences = std::make_unique<JsonPreferencesStore>(file);
    expectDefaults();
}

}  // namespace
}  // namespace pagemate
