#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/AudioCodecs.h"
#include "platform/fake/LinearConverterCodecs.h"

namespace pagemate::fake {

// One ".m4a" file as the fake codecs were asked to write it.
struct RecordedAudioFile {
    std::filesystem::path path;
    AacFileSettings settings;
    std::vector<float> samples;             // the first channel, as written
    std::vector<std::uint32_t> blockSizes;  // frames per write()
    bool finished = false;
};

// Audio codecs that keep what they are given: the files "written" hold their samples
// in memory (on disk, the file holds the samples as 32-bit floats, so that it has a
// size and can be read back by openFile()). Failures can be scripted. Converters are
// the decimating ones of LinearConverterCodecs, with its controls. Any thread.
class RecordingAudioCodecs final : public AudioCodecs {
  public:
    std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& from, const AudioFormat& to) override;
    std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& path, const AacFileSettings& settings) override;
    // Reads back a file written through these codecs (at its settings' rate, from
    // memory); any other path fails.
    std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& path) override;

    [[nodiscard]] std::vector<RecordedAudioFile> files() const;

    // Scripted failures: creating the next file, or writing its block number `n`
    // (counted from 0) fails with this error.
    void failCreate(AudioError error);
    void failWrite(std::size_t block, AudioError error);

    // The converters' controls (LinearConverterCodecs).
    void refuseConverters(std::optional<AudioError> error) {
        converters_.refuseConverters(std::move(error));
    }
    void failConversions(std::optional<AudioError> error) {
        converters_.failConversions(std::move(error));
    }
    [[nodiscard]] int convertersMade() const { return converters_.convertersMade(); }

  private:
    friend class RecordingFileWriter;
    void wrote(std::size_t file, const AudioBlock& block);
    void finished(std::size_t file);
    std::optional<AudioError> writeFailure(std::size_t file, std::size_t block);

    mutable std::mutex mutex_;
    std::vector<RecordedAudioFile> files_;
    std::optional<AudioError> createFailure_;
    std::optional<std::pair<std::size_t, AudioError>> writeFailure_;
    LinearConverterCodecs converters_;
};

}  // namespace pagemate::fake
