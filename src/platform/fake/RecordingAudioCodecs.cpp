#include "platform/fake/RecordingAudioCodecs.h"

#include <algorithm>
#include <fstream>

namespace pagemate::fake {

class RecordingFileWriter final : public AudioFileWriter {
  public:
    RecordingFileWriter(RecordingAudioCodecs& codecs, std::size_t file, AudioFormat format)
        : codecs_(codecs), file_(file), format_(format) {}

    [[nodiscard]] AudioFormat processingFormat() const override { return format_; }

    std::variant<std::monostate, AudioError> write(const AudioBlock& block) override {
        if (auto failure = codecs_.writeFailure(file_, blocks_++)) {
            return *failure;
        }
        if (block.format() != format_) {
            return AudioError{-22, "block format " + block.format().description()};
        }
        codecs_.wrote(file_, block);
        return std::monostate{};
    }

    std::variant<std::monostate, AudioError> finish() override {
        codecs_.finished(file_);
        return std::monostate{};
    }

  private:
    RecordingAudioCodecs& codecs_;
    std::size_t file_;
    AudioFormat format_;
    std::size_t blocks_ = 0;
};

namespace {

class RecordingFileReader final : public AudioFileReader {
  public:
    RecordingFileReader(const RecordedAudioFile& file) : samples_(file.samples) {
        info_.sampleRate = file.settings.sampleRate;
        info_.channels = 1;
        info_.frames = static_cast<std::int64_t>(samples_.size());
        info_.bitRate = file.settings.bitRate;
        info_.codec = "aac";
    }
    [[nodiscard]] const Info& info() const override { return info_; }
    [[nodiscard]] AudioFormat processingFormat() const override {
        return {SampleType::float32, info_.sampleRate, 1, false};
    }
    std::variant<std::uint32_t, AudioError> read(AudioBlock& block) override {
        const auto frames = static_cast<std::uint32_t>(
            std::min<std::size_t>(block.frameCapacity(), samples_.size() - position_));
        block.setFrameLength(frames);
        const std::span<float> out = block.floats(0);
        std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(position_), frames, out.begin());
        position_ += frames;
        return frames;
    }

  private:
    Info info_;
    std::vector<float> samples_;
    std::size_t position_ = 0;
};

}  // namespace

std::variant<std::unique_ptr<AudioConverter>, AudioError> RecordingAudioCodecs::makeConverter(
    const AudioFormat& from, const AudioFormat& to) {
    return converters_.makeConverter(from, to);
}

std::variant<std::unique_ptr<AudioFileWriter>, AudioError> RecordingAudioCodecs::createAacFile(
    const std::filesystem::path& path, const AacFileSettings& settings) {
    std::size_t index = 0;
    {
        const std::lock_guard lock(mutex_);
        if (createFailure_) {
            AudioError error = *createFailure_;
            createFailure_.reset();
            return error;
        }
        index = files_.size();
        files_.push_back(RecordedAudioFile{path, settings, {}, {}, false});
    }
    // The file exists from here on, as a real writer's would.
    const std::ofstream created(path, std::ios::binary | std::ios::trunc);
    return std::make_unique<RecordingFileWriter>(
        *this, index,
        AudioFormat{SampleType::float32, settings.sampleRate, settings.channels, false});
}

std::variant<std::unique_ptr<AudioFileReader>, AudioError> RecordingAudioCodecs::openFile(
    const std::filesystem::path& path) {
    const std::lock_guard lock(mutex_);
    for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
        if (file->path == path && file->finished) {
            return std::make_unique<RecordingFileReader>(*file);
        }
    }
    return AudioError{-2, "not written by the recording codecs: " + path.string()};
}

std::vector<RecordedAudioFile> RecordingAudioCodecs::files() const {
    const std::lock_guard lock(mutex_);
    return files_;
}

void RecordingAudioCodecs::failCreate(AudioError error) {
    const std::lock_guard lock(mutex_);
    createFailure_ = std::move(error);
}

void RecordingAudioCodecs::failWrite(std::size_t block, AudioError error) {
    const std::lock_guard lock(mutex_);
    writeFailure_.emplace(block, std::move(error));
}

void RecordingAudioCodecs::wrote(std::size_t file, const AudioBlock& block) {
    const std::lock_guard lock(mutex_);
    RecordedAudioFile& recorded = files_.at(file);
    const std::span<const float> samples = block.floats(0);
    recorded.samples.insert(recorded.samples.end(), samples.begin(), samples.end());
    recorded.blockSizes.push_back(block.frameLength());
}

void RecordingAudioCodecs::finished(std::size_t file) {
    std::vector<float> samples;
    std::filesystem::path path;
    {
        const std::lock_guard lock(mutex_);
        RecordedAudioFile& recorded = files_.at(file);
        recorded.finished = true;
        samples = recorded.samples;
        path = recorded.path;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

std::optional<AudioError> RecordingAudioCodecs::writeFailure(std::size_t /*file*/,
                                                             std::size_t block) {
    const std::lock_guard lock(mutex_);
    if (writeFailure_ && writeFailure_->first == block) {
        AudioError error = writeFailure_->second;
        writeFailure_.reset();
        return error;
    }
    return std::nullopt;
}

}  // namespace pagemate::fake
