#include "platform/linux/AvAudioCodecs.h"

#include "platform/linux/AvConverter.h"
#include "platform/linux/AvFileReader.h"
#include "platform/linux/AvFileWriter.h"
#include "platform/linux/AvHandles.h"

namespace pagemate::linux_backend {

AvAudioCodecs::AvAudioCodecs() {
    quietLibraryLog();
}

std::variant<std::unique_ptr<AudioConverter>, AudioError> AvAudioCodecs::makeConverter(
    const AudioFormat& from, const AudioFormat& to) {
    return AvConverter::create(from, to);
}

std::variant<std::unique_ptr<AudioFileWriter>, AudioError> AvAudioCodecs::createAacFile(
    const std::filesystem::path& path, const AacFileSettings& settings) {
    return AvFileWriter::create(path, settings);
}

std::variant<std::unique_ptr<AudioFileReader>, AudioError> AvAudioCodecs::openFile(
    const std::filesystem::path& path) {
    return AvFileReader::open(path);
}

}  // namespace pagemate::linux_backend
