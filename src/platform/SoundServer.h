#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "platform/AudioBlock.h"

namespace pagemate {

// A failure of the sound server: the client library's own error number (PulseAudio's
// pa_context_errno) and its own words for it (pa_strerror). The core puts its Chinese
// text around them.
struct SoundServerError {
    std::int32_t status = 0;
    std::string description;
};

// One buffer of a captured fragment: the bytes as the server handed them over. They
// stay valid only while the read callback runs.
struct SoundBuffer {
    const std::byte* data = nullptr;
    std::size_t bytes = 0;
};

// The devices a meeting records from.
enum class SoundDeviceKind : std::uint8_t {
    defaultInput,  // the server's default source when it is a real input (a microphone)
    outputMonitor  // the monitor of the default sink: what the computer plays
};

// A record stream on one device. Call order: connect(), then waitUntilReady(); stop(),
// then disconnect(); then destroy. Each step may be skipped; destroying runs what is
// left of stop() and disconnect().
//
// Threads: the callbacks run on the stream's capture thread (one per device handle,
// named "pagemate-pulse" on PulseAudio), one call at a time and in order, so a
// stream's fragments are serial. stop(), disconnect() and the destructor must not be
// called from inside the stream's own callbacks; any other thread may call them.
// After stop() (or disconnect(), or the destructor) has returned, no callback of the
// stream runs or will run.
class SoundStream {
  public:
    // One fragment as a list of buffers: one buffer holding every channel for an
    // interleaved format, one per channel for a planar one. Fragment sizes are the
    // server's: any number of whole frames. Gaps the server leaves in a stream (lost
    // data) are skipped, never delivered.
    using ReadCallback = std::function<void(std::span<const SoundBuffer>)>;
    // The device went away, or the server dropped the stream, after it had connected:
    // no fragment follows. Runs at most once, on the capture thread.
    using LostCallback = std::function<void(const SoundServerError&)>;

    virtual ~SoundStream() = default;
    // Installs the callbacks and connects the stream to its device.
    virtual std::optional<SoundServerError> connect(ReadCallback onRead, LostCallback onLost) = 0;
    // Waits (a few seconds at most) until the stream delivers, or fails.
    virtual std::optional<SoundServerError> waitUntilReady() = 0;
    // Stops delivery. Safe in any state, more than once.
    virtual void stop() = 0;
    // Disconnects the stream from its device and lets the callbacks go. Safe in any
    // state, more than once.
    virtual void disconnect() = 0;
};

// What a record stream is asked for.
struct SoundStreamRequest {
    std::string name;  // shown by the server's tools (pactl list source-outputs)
    // Float32 samples (interleaved or planar) at any rate and channel count; the server
    // converts from the device's own format.
    AudioFormat format;
    // The fragment size asked for, in frames; 0 leaves it to the server. A wish only.
    std::uint32_t fragmentFrames = 0;
};

// A device found on a connection to the server. The handle owns that connection and
// should outlive the streams it made (a stream keeps what it needs either way).
class SoundDevice {
  public:
    virtual ~SoundDevice() = default;
    // The device's own rate and channel count as float32 interleaved (what a stream in
    // that format receives without conversion); none when the server did not say.
    [[nodiscard]] virtual std::optional<AudioFormat> format() const = 0;
    [[nodiscard]] virtual std::string name() const = 0;
    virtual std::variant<std::unique_ptr<SoundStream>, SoundServerError> createRecordStream(
        const SoundStreamRequest& request) = 0;
};

// The sound server (PulseAudio, or PipeWire through its PulseAudio service). Each call
// blocks briefly (a local socket, a few seconds at most) and may be made from any
// thread but a stream's capture thread. Call order for one capture:
// openDevice() → createRecordStream() → connect() → waitUntilReady(); then stop() →
// disconnect() → destroy the stream → destroy the device.
// Without a server every step fails with the client's status: there is no null
// result to check.
class SoundServer {
  public:
    // What microphoneAccess() answers, with the numbers of the permission status the
    // meeting controller and the self-test know:
    //   3 authorized     — the server answers and has an input device
    //   2 denied         — the server refused the connection (access control,
    //                      PA_ERR_ACCESS: a wrong cookie or an ACL)
    //   1 restricted     — the server answers but has no input device, only monitors;
    //                      nothing the user could allow would give a microphone
    //   0 not determined — no server answered (none running, or it failed otherwise)
    enum MicrophoneAccess : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

    virtual ~SoundServer() = default;
    // Reaches the server and finds the device.
    virtual std::variant<std::unique_ptr<SoundDevice>, SoundServerError> openDevice(
        SoundDeviceKind kind) = 0;
    // Whether the server offers a monitor of its default output (the system audio).
    virtual bool offersOutputMonitor() = 0;
    virtual int microphoneAccess() = 0;
};

}  // namespace pagemate
