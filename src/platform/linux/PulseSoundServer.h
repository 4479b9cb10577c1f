#pragma once

#include <memory>
#include <variant>

#include "platform/SoundServer.h"

namespace pagemate::linux_backend {

// The sound server through PulseAudio's client library (PipeWire answers it through
// pipewire-pulse). Every device handle is a connection of its own with its own threaded
// main loop, so the microphone and the system audio are captured on two threads.
// The server is the one the environment names (PULSE_SERVER, else the session's); no
// server is ever started. Without one each step fails with the client's status
// (PA_ERR_CONNECTIONREFUSED, "Connection refused").
class PulseSoundServer final : public SoundServer {
  public:
    PulseSoundServer() = default;
    PulseSoundServer(const PulseSoundServer&) = delete;
    PulseSoundServer& operator=(const PulseSoundServer&) = delete;
    // Waits for the loops of closed connections to be stopped and freed.
    ~PulseSoundServer() override;

    std::variant<std::unique_ptr<SoundDevice>, SoundServerError> openDevice(
        SoundDeviceKind kind) override;
    bool offersOutputMonitor() override;
    int microphoneAccess() override;
};

}  // namespace pagemate::linux_backend
