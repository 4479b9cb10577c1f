// The preferences file, which the user (or a damaged disk) may change between runs:
// decoded as the store decodes it, each member read as the store reads it, then what
// the program makes of the values: every setting, the settings window's choices, the
// panel's placement and the chat window's stored frame. Beyond the sanitizers it checks
// that a file read is written back with the same values, and that every frame given
// to the window system is one the system can hold.
//
// Input: the file's bytes.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "FuzzSupport.h"
#include "app/SettingsWindowController.h"
#include "base/Settings.h"
#include "platform/PreferencesFile.h"
#include "platform/fake/FakePlatform.h"
#include "web/ChatWindowController.h"
#include "web/PanelController.h"

namespace pagemate::fuzz {
namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    (void)std::fprintf(stderr, "preferences_file: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Window systems keep positions and sizes in 32-bit integers.
void checkFrame(const char* what, const Rect& frame) {
    constexpr double kLimit = std::numeric_limits<std::int32_t>::max() / 2.0;
    for (const double value : {frame.x, frame.y, frame.width, frame.height}) {
        if (!std::isfinite(value) || std::fabs(value) > kLimit) {
            fail(what, std::to_string(frame.x) + " " + std::to_string(frame.y) + " " +
                           std::to_string(frame.width) + " " + std::to_string(frame.height));
        }
    }
    if (frame.width <= 0 || frame.height <= 0) {
        fail(what, "empty frame");
    }
}

// Equal, counting numbers that JSON cannot write (an overflowing exponent read as an
// infinity) as the null they are written as.
bool sameWritten(const nlohmann::json& read, const nlohmann::json& written) {
    if (read.is_number_float() && !std::isfinite(read.get<double>())) {
        return written.is_null();
    }
    if (read.is_object() && written.is_object()) {
        if (read.size() != written.size()) {
            return false;
        }
        for (auto it = read.begin(); it != read.end(); ++it) {
            const auto other = written.find(it.key());
            if (other == written.end() || !sameWritten(*it, *other)) {
                return false;
            }
        }
        return true;
    }
    if (read.is_array() && written.is_array()) {
        if (read.size() != written.size()) {
            return false;
        }
        for (std::size_t index = 0; index < read.size(); ++index) {
            if (!sameWritten(read[index], written[index])) {
                return false;
            }
        }
        return true;
    }
    return read == written;
}

void useValues(const nlohmann::json& values) {
    fake::FakePlatform platform;
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
    for (auto it = values.begin(); it != values.end(); ++it) {
        platform.preferences.setValue(it.key(), PreferencesFile::valueOf(*it));
    }
    const Settings& settings = Settings::shared();
    (void)settings.model();
    (void)settings.agentMode();
    (void)settings.quickBarFollowsCursor();
    (void)settings.archiveConversations();
    (void)settings.recordMeetingAudio();
    const Rect placed = PanelController::placement(platform.windows.screenList.front().visibleFrame,
                                                   settings.panelHeight());
    checkFrame("panel placement", placed);

    const auto settingsWindow = SettingsWindowController::create();
    auto* window = platform.windows.settingsWindows.back();
    for (const auto popUp : {SettingsWindow::PopUp::model, SettingsWindow::PopUp::mode}) {
        const int index = window->selectedIndex(popUp);
        if (index < 0 || index >= 3) {
            fail("settings window choice out of range", std::to_string(index));
        }
    }

    const auto chat = ChatWindowController::create();
    checkFrame("chat window frame", chat->window().frame());
    platform.queue.runUntilIdle();
}

}  // namespace
}  // namespace pagemate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pagemate;
    fuzz::QuietLog& log = fuzz::quietLog();
    const std::string_view contents(reinterpret_cast<const char*>(data), size);
    auto parsed = PreferencesFile::parse(contents);
    if (const auto* values = std::get_if<nlohmann::json>(&parsed)) {
        std::string whyNot;
        const std::optional<std::string> written = PreferencesFile::serialize(*values, &whyNot);
        if (!written) {
            fuzz::fail("a file read cannot be written back", whyNot);
        }
        const auto again = PreferencesFile::parse(*written);
        const auto* reread = std::get_if<nlohmann::json>(&again);
        if (reread == nullptr || !fuzz::sameWritten(*values, *reread)) {
            fuzz::fail("values change when written back", *written);
        }
        for (auto it = values->begin(); it != values->end(); ++it) {
            const PreferenceValue value = PreferencesFile::valueOf(*it);
            const std::optional<nlohmann::json> stored = PreferencesFile::jsonOf(value);
            if (stored.has_value() == std::holds_alternative<UnusablePreference>(value)) {
                fuzz::fail("a usable value cannot be stored", it.key());
            }
        }
        fuzz::useValues(*values);
    }
    log.clear();
    return 0;
}
