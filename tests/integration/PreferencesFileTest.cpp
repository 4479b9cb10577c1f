#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/JsonPreferencesStore.h"

namespace pagemate {
namespace {

using linux_backend::JsonPreferencesStore;
using nlohmann::json;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::filesystem::path> entriesOf(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> entries(std::filesystem::directory_iterator(directory), {});
    std::ranges::sort(entries);
    return entries;
}

// The file is a stored format other versions and the user read: the settings' own key
// names and value types; what another version stored is kept.
TEST(PreferencesFile, SettingsAreStoredUnderTheirKeysAndSurviveARestart) {
    const TempDir directory;
    const auto file = directory.path() / "deep" / "pagemate" / "preferences.json";
    const fake::FakePlatform platform;
    const testing::ScopedEnvironment noServer("PGM_SERVER_URL", nullptr);
    const auto restart = [&] {
        Platform::current().preferences = std::make_unique<JsonPreferencesStore>(file);
    };
    restart();
    Settings& settings = Settings::shared();
    EXPECT_EQ(std::make_tuple(settings.model(), settings.agentMode(), settings.panelHeight()),
              std::make_tuple("", "auto", 560.0));
    EXPECT_TRUE(settings.quickBarFollowsCursor() && settings.archiveConversations() &&
                settings.recordMeetingAudio());

    // The folder is made on the first change.
    settings.setModel("deepseek-v4-pro");
    settings.setAgentMode("readonly");
    settings.setPanelHeight(612);
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(false);
    settings.setRecordMeetingAudio(false);
    EXPECT_EQ(json::parse(readFile(file)), json::parse(R"({"model": "deepseek-v4-pro",
        "agentMode": "readonly", "panelHeight": 612.0, "quickBarFollowsCursor": false,
        "archiveConversations": false, "recordMeetingAudio": false})"));
    // Only the file itself is left: no temporary files, private mode.
    EXPECT_EQ(entriesOf(file.parent_path()), std::vector{file});
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A file written by hand, or by another version with a member of its own.
    writeFile(file,
              R"({"model": "deepseek-chat", "panelHeight": 720.5, "other": [1, {"x": null}]})");
    restart();
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_EQ(settings.panelHeight(), 720.5);
    settings.setAgentMode("confirm");
    restart();
    EXPECT_EQ(settings.agentMode(), "confirm");
    EXPECT_EQ(json::parse(readFile(file))["other"], json::parse(R"([1, {"x": null}])"));

    // Where it is by default: a relative XDG_CONFIG_HOME counts as unset.
    const testing::ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/dir");
    const testing::ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(JsonPreferencesStore::defaultPath(),
              "/home/someone/.config/pagemate/preferences.json");
}

// A file that cannot be read as settings (damaged, or not a file at all) is moved aside
// for the user, said once in the log with why, and a new one takes its place.
TEST(PreferencesFile, DamagedFilesAreMovedAsideAndLogged) {
    const std::pair<std::optional<std::string>, std::string> damaged[] = {
        {"{not json", "不是有效的 JSON"},
        {"[1,2,3]", "顶层不是对象"},
        {std::nullopt, "不是普通文件"}};
    for (const auto& [contents, why] : damaged) {
        const testing::LogCapture log;
        const TempDir directory;
        const auto file = directory.path() / "preferences.json";
        contents ? writeFile(file, *contents) : (void)std::filesystem::create_directory(file);
        JsonPreferencesStore store(file);
        EXPECT_EQ(store.value("panelHeight"), std::nullopt);
        store.setValue("model", std::string("after"));

        const auto entries = entriesOf(directory.path());
        ASSERT_EQ(entries.size(), 2u) << why;
        const auto& aside = entries[1];
        EXPECT_TRUE(aside.filename().string().starts_with("preferences.json.corrupt-")) << aside;
        EXPECT_TRUE(!contents || readFile(aside) == *contents);  // the user's file, unchanged
        EXPECT_EQ(json::parse(readFile(file))["model"], "after");
        EXPECT_EQ(log.messages(),
                  std::vector<std::string>{"设置：偏好文件 " + file.string() + " 无法使用（" + why +
                                           "），已移到 " + aside.string() + "，改用默认值"});
    }
}

}  // namespace
}  // namespace pagemate
