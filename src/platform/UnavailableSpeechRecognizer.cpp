#include "platform/UnavailableSpeechRecognizer.h"

namespace pagemate {

std::variant<std::optional<SpeechModelDownload>, SpeechError>
UnavailableSpeechRecognizer::installationRequest(std::string_view) {
    return error();
}

std::variant<std::monostate, SpeechError> UnavailableSpeechRecognizer::downloadAndInstall(
    const SpeechModelDownload&) {
    return error();
}

std::variant<std::monostate, SpeechError> UnavailableSpeechRecognizer::reserve(std::string_view) {
    return error();
}

std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError>
UnavailableSpeechRecognizer::makeChannel(std::string_view) {
    return error();
}

}  // namespace pagemate
