#include "meeting/MeetingMix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "base/AppLog.h"
#include "meeting/RecordingFiles.h"
#include "support/FileDescriptor.h"

namespace pagemate::MeetingMix {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkBytes = 32000;  // one second of one raw file

AudioError systemError(int number, const std::string& what) {
    return {number, std::generic_category().message(number) + " (" + what + ")"};
}

// Up to kChunkBytes from the file; a read error counts as no more data.
std::size_t readChunk(int fd, std::vector<unsigned char>& buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t count = ::read(fd, buffer.data() + filled, buffer.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    return filled;
}

std::int32_t sampleAt(const std::vector<unsigned char>& bytes, std::size_t index) {
    const auto low = static_cast<std::uint16_t>(bytes[2 * index]);
    const auto high = static_cast<std::uint16_t>(bytes[(2 * index) + 1]);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8U)));
}

std::variant<std::monostate, AudioError> mixInto(AudioFileWriter& writer, int mic, int system) {
    std::vector<unsigned char> micBytes(kChunkBytes);
    std::vector<unsigned char> systemBytes(kChunkBytes);
    const auto chunkFrames = static_cast<std::uint32_t>(kChunkBytes / 2);
    const std::shared_ptr<AudioBlock> block =
        AudioBlock::make(writer.processingFormat(), chunkFrames);
    for (;;) {
        const std::size_t micRead = readChunk(mic, micBytes);
        const std::size_t systemRead = readChunk(system, systemBytes);
        if (micRead == 0 && systemRead == 0) {
            break;
        }
        const std::size_t micSamples = micRead / 2;  // a lone trailing byte is dropped
        const std::size_t systemSamples = systemRead / 2;
        const std::size_t frames = std::max(micSamples, systemSamples);
        if (frames == 0 || !block) {
            break;
        }
        block->setFrameLength(static_cast<std::uint32_t>(frames));
        const std::span<float> out = block->floats(0);
        for (std::size_t index = 0; index < frames; ++index) {
            const std::int32_t a = index < micSamples ? sampleAt(micBytes, index) : 0;
            const std::int32_t b = index < systemSamples ? sampleAt(systemBytes, index) : 0;
            const std::int32_t sum = std::clamp(a + b, -32768, 32767);
            out[index] = static_cast<float>(sum) / 32768.0F;
        }
        if (auto result = writer.write(*block); std::holds_alternative<AudioError>(result)) {
            return result;
        }
    }
    return std::monostate{};
}

}  // namespace

std::variant<fs::path, AudioError> mix(AudioCodecs& codecs, const fs::path& mic,
                                       const fs::path& system, std::string_view stamp) {
    const fs::path folder = RecordingFiles::writableOutputDirectory();
    AppLog::write("会议录音：输出目录 " + folder.string());
    const std::optional<fs::path> target = RecordingFiles::reserveRecordingFile(folder, stamp);
    if (!target) {
        return systemError(errno, (folder / RecordingFiles::recordingFileName(stamp)).string());
    }
    std::error_code ignored;
    auto created = codecs.createAacFile(*target, AacFileSettings{});
    if (auto* error = std::get_if<AudioError>(&created)) {
        fs::remove(*target, ignored);
        return *error;
    }
    std::unique_ptr<AudioFileWriter> writer =
        std::move(std::get<std::unique_ptr<AudioFileWriter>>(created));
    std::variant<std::monostate, AudioError> result;
    {
        const FileDescriptor micFile(::open(mic.c_str(), O_RDONLY | O_CLOEXEC));
        if (!micFile.valid()) {
            result = systemError(errno, mic.string());
        }
        const FileDescriptor systemFile(::open(system.c_str(), O_RDONLY | O_CLOEXEC));
        if (!systemFile.valid() && !std::holds_alternative<AudioError>(result)) {
            result = systemError(errno, system.string());
        }
        if (!std::holds_alternative<AudioError>(result)) {
            result = mixInto(*writer, micFile.get(), systemFile.get());
        }
    }
    if (!std::holds_alternative<AudioError>(result)) {
        result = writer->finish();
    }
    writer.reset();
    if (auto* error = std::get_if<AudioError>(&result)) {
        fs::remove(*target, ignored);
        return *error;
    }
    return *target;
}

std::optional<fs::path> save(AudioCodecs& codecs, const fs::path& mic, const fs::path& system,
                             std::int64_t micFrames, std::int64_t systemFrames,
                             std::string_view stamp) {
    if (static_cast<double>(std::max(micFrames, systemFrames)) / RecordingFiles::sampleRate < 1.0) {
        AppLog::write("会议录音：时长不足 1 秒，已丢弃");
        return std::nullopt;
    }
    auto saved = mix(codecs, mic, system, stamp);
    if (auto* error = std::get_if<AudioError>(&saved)) {
        AppLog::write("会议录音：混音或编码失败 —— " + error->description);
        return std::nullopt;
    }
    return std::get<fs::path>(saved);
}

}  // namespace pagemate::MeetingMix
