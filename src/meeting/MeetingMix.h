#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <variant>

#include "platform/AudioCodecs.h"

namespace pagemate::MeetingMix {

// Mixes the two raw files of a meeting (see RecordingFiles) into one AAC file (16 000
// Hz, mono, 32 kbit/s, ".m4a") in the writable recordings folder, under the name the
// stamp gives and no earlier recording holds. The streams are aligned by sample from
// their starts and summed with equal weight, limited to the 16-bit range; the shorter
// one is continued with silence. They are read one second at a time, so memory does
// not grow with the meeting's length. Logs the folder it chose. Blocks: run it off the
// main thread. On an error, no file is left behind.
std::variant<std::filesystem::path, AudioError> mix(AudioCodecs& codecs,
                                                    const std::filesystem::path& mic,
                                                    const std::filesystem::path& system,
                                                    std::string_view stamp);

// What the end of a meeting and the recovery of an interrupted one share: a recording
// whose longer stream is under one second is discarded, else mixed as above; both
// outcomes and a failed mix are logged. The saved file, or nullopt.
std::optional<std::filesystem::path> save(AudioCodecs& codecs, const std::filesystem::path& mic,
                                          const std::filesystem::path& system,
                                          std::int64_t micFrames, std::int64_t systemFrames,
                                          std::string_view stamp);

}  // namespace pagemate::MeetingMix
