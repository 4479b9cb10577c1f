#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Where a meeting's sound lives on disk and how its samples are stored: the raw
// temporary files while it records, the recordings folder and the saved file's name.
namespace pagemate::RecordingFiles {

// Raw files: headerless signed 16-bit little-endian samples, one channel, 16 000 Hz.
inline constexpr double sampleRate = 16000;
inline constexpr std::string_view micFileName = "mic.pcm";
inline constexpr std::string_view systemFileName = "system.pcm";
// Held (flock) by the recording process for as long as it records, so that a folder
// whose lock nobody holds is one a stopped process left behind.
inline constexpr std::string_view lockFileName = "recording.lock";
inline constexpr std::string_view temporaryPrefix = "pagemate-meeting-";

// "yyyy-MM-dd HH-mm-ss" in local time.
std::string timeStamp(std::chrono::system_clock::time_point when);

// $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();
// The temporary folder of a meeting started at that stamp.
std::filesystem::path meetingTemporaryFolder(std::string_view stamp);

// $XDG_DATA_HOME (when absolute), else ~/.local/share, + "Pagemate 助手/会议录音". Not
// created here.
std::filesystem::path outputDirectory();
// The first folder that can be created and written to: the recordings folder, the
// home folder's "Pagemate 会议录音", the temporary directory's "Pagemate 会议录音";
// else the temporary directory itself.
std::filesystem::path writableOutputDirectory();

// "会议录音 " + stamp + ".m4a"; from the second copy on, " (n)" before the extension.
std::string recordingFileName(std::string_view stamp, int copy = 1);
// Creates an empty file under the first of those names not yet taken in `folder`, so
// that a recording never replaces an earlier one (two meetings started within the
// same second share their stamp), and returns it; nullopt when none can be created.
std::optional<std::filesystem::path> reserveRecordingFile(const std::filesystem::path& folder,
                                                          std::string_view stamp);

// A captured float sample as stored: above 1.0 → 32767, otherwise limited below at
// −1.0, times 32767 and cut toward zero (so −32768 never occurs); NaN → 0.
std::int16_t toStoredSample(float sample);
// The samples in the raw files' byte order.
std::string toStoredBytes(std::span<const float> samples);

}  // namespace pagemate::RecordingFiles
