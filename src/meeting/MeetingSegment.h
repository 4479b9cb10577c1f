#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace pagemate {

// One transcript segment as the meeting page sees it. All versions of one utterance
// share the id (speaker + "-" + its start in tenths of a second); a later version
// replaces the earlier one.
struct MeetingSegment {
    std::string id;
    std::string speaker;  // "现场" (microphone) or "线上" (system audio)
    std::string at;       // "mm:ss" from the meeting's start; minutes may pass 99
    std::string text;     // trimmed, never empty
    bool final = false;   // the recogniser's last word on the utterance

    // Exactly the five keys, as the page expects them.
    [[nodiscard]] nlohmann::json jsonObject() const {
        return {{"id", id}, {"speaker", speaker}, {"at", at}, {"text", text}, {"final", final}};
    }

    friend bool operator==(const MeetingSegment&, const MeetingSegment&) = default;
};

}  // namespace pagemate
