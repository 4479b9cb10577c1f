#pragma once

#include <string>

#include "platform/SpeechRecognizer.h"

namespace pagemate {

// The recogniser of a computer without any usable speech model: availability() is
// noModel with the platform's reason, no locale is supported, and every request fails
// with SpeechError::Kind::unavailable and that reason.
class UnavailableSpeechRecognizer final : public SpeechRecognizer {
  public:
    explicit UnavailableSpeechRecognizer(std::string detail) : detail_(std::move(detail)) {}

    [[nodiscard]] Availability availability() const override { return Availability::noModel; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail_; }
    [[nodiscard]] std::vector<std::string> supportedLocales() const override { return {}; }
    [[nodiscard]] std::vector<std::string> installedLocales() const override { return {}; }
    std::variant<std::optional<SpeechModelDownload>, SpeechError> installationRequest(
        std::string_view locale) override;
    std::variant<std::monostate, SpeechError> downloadAndInstall(
        const SpeechModelDownload& request) override;
    [[nodiscard]] std::vector<std::string> reservedLocales() const override { return {}; }
    std::variant<std::monostate, SpeechError> reserve(std::string_view locale) override;
    std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError> makeChannel(
        std::string_view locale) override;

  private:
    [[nodiscard]] SpeechError error() const {
        return SpeechError{SpeechError::Kind::unavailable, detail_};
    }
    std::string detail_;
};

}  // namespace pagemate
