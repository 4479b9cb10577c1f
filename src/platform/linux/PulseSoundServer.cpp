#include "platform/linux/PulseSoundServer.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/linux/PulseConnection.h"
#include "platform/linux/PulseHandles.h"

namespace pagemate::linux_backend {

namespace {

// A record stream in float32 at the asked rate and channel count. Fragments are peeked
// and dropped one by one on the loop thread; planar formats are split per channel.
class PulseRecordStream final : public SoundStream {
  public:
    PulseRecordStream(std::shared_ptr<PulseConnection> connection, std::string source,
                      const SoundStreamRequest& request, PaStreamPtr stream)
        : connection_(std::move(connection)),
          source_(std::move(source)),
          format_(request.format),
          fragmentFrames_(request.fragmentFrames),
          stream_(std::move(stream)) {}

    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    ~PulseRecordStream() override {
        stop();
        disconnect();
        const PulseConnection::Lock lock(*connection_);
        stream_.reset();
    }

    std::optional<SoundServerError> connect(ReadCallback onRead, LostCallback onLost) override {
        const PulseConnection::Lock lock(*connection_);
        if (connected_ || stopped_) {
            return paError(PA_ERR_BADSTATE);
        }
        onRead_ = std::move(onRead);
        onLost_ = std::move(onLost);
        pa_stream* stream = stream_.get();
        pa_stream_set_state_callback(stream, &PulseRecordStream::stateChanged, this);
        pa_stream_set_read_callback(stream, &PulseRecordStream::readable, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        // A stream never follows its device elsewhere: the system audio must not turn
        // into the microphone when the output goes away. It is lost instead.
        int flags = PA_STREAM_DONT_MOVE;
        if (fragmentFrames_ > 0) {
            attributes.fragsize =
                fragmentFrames_ *
                static_cast<std::uint32_t>(pa_frame_size(pa_stream_get_sample_spec(stream)));
            flags |= PA_STREAM_ADJUST_LATENCY;
        }
        if (pa_stream_connect_record(stream, source_.c_str(), &attributes,
                                     static_cast<pa_stream_flags_t>(flags)) < 0) {
            return paContextError(connection_->context());
        }
        connected_ = true;
        return std::nullopt;
    }

    std::optional<SoundServerError> waitUntilReady() override {
        const PulseConnection::Lock lock(*connection_);
        if (!connected_ || stopped_) {
            return paError(PA_ERR_BADSTATE);
        }
        pa_stream* stream = stream_.get();
        const bool settled = connection_->waitUntil([stream] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!settled) {
            return paError(PA_ERR_TIMEOUT);
        }
        if (pa_stream_get_state(stream) != PA_STREAM_READY) {
            return paContextError(connection_->context());
        }
        return std::nullopt;
    }

    void stop() override {
        const PulseConnection::Lock lock(*connection_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        pa_stream* stream = stream_.get();
        // The callbacks run under the loop's lock: once they are cleared under it, none
        // runs again.
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) == PA_STREAM_READY) {
            // The server stops sending; nothing waits for its answer.
            PaOperationPtr(pa_stream_cork(stream, 1, nullptr, nullptr));
        }
    }

    void disconnect() override {
        ReadCallback onRead;
        LostCallback onLost;
        {
            const PulseConnection::Lock lock(*connection_);
            pa_stream* stream = stream_.get();
            stopped_ = true;
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            if (connected_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
                pa_stream_disconnect(stream);
            }
            connected_ = false;
            onRead = std::move(onRead_);
            onLost = std::move(onLost_);
        }
        // The callbacks' captures go outside the lock.
    }

  private:
    static void stateChanged(pa_stream* stream, void* data) {
        auto* self = static_cast<PulseRecordStream*>(data);
        self->connection_->signal();
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) {
            self->ready_ = true;
            return;
        }
        if (PA_STREAM_IS_GOOD(state) || !self->ready_ || self->stopped_ || self->lost_) {
            return;
        }
        self->lost_ = true;
        if (self->onLost_) {
            const int status = pa_context_errno(self->connection_->context());
            self->onLost_(paError(status != 0 ? status : PA_ERR_CONNECTIONTERMINATED));
        }
    }

    static void readable(pa_stream* stream, size_t /*bytes*/, void* data) {
        auto* self = static_cast<PulseRecordStream*>(data);
        for (;;) {
            const void* fragment = nullptr;
            size_t size = 0;
            if (pa_stream_peek(stream, &fragment, &size) < 0 || size == 0) {
                return;
            }
            // A hole (no data but a size) is dropped unread.
            if (fragment != nullptr && !self->stopped_ && self->onRead_) {
                self->deliver(static_cast<const std::byte*>(fragment), size);
            }
            pa_stream_drop(stream);
        }
    }

    void deliver(const std::byte* fragment, std::size_t size) {
        if (format_.interleaved || format_.channels <= 1) {
            const SoundBuffer buffer{fragment, size};
            onRead_(std::span(&buffer, 1));
            return;
        }
        const std::size_t channels = format_.channels;
        const std::size_t frames = size / (sizeof(float) * channels);
        planar_.resize(channels);
        buffers_.resize(channels);
        for (std::size_t channel = 0; channel < channels; ++channel) {
            auto& target = planar_[channel];
            target.resize(frames);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                std::memcpy(&target[frame],
                            fragment + ((frame * channels) + channel) * sizeof(float),
                            sizeof(float));
            }
            buffers_[channel] = {reinterpret_cast<const std::byte*>(target.data()),
                                 frames * sizeof(float)};
        }
        onRead_(std::span(buffers_));
    }

    std::shared_ptr<PulseConnection> connection_;
    std::string source_;
    AudioFormat format_;
    std::uint32_t fragmentFrames_ = 0;
    // Everything below is used under the loop's lock (the loop thread holds it while
    // it runs the callbacks).
    PaStreamPtr stream_;
    ReadCallback onRead_;
    LostCallback onLost_;
    bool connected_ = false;
    bool ready_ = false;
    bool stopped_ = false;
    bool lost_ = false;
    std::vector<std::vector<float>> planar_;
    std::vector<SoundBuffer> buffers_;
};

class PulseDevice final : public SoundDevice {
  public:
    PulseDevice(std::shared_ptr<PulseConnection> connection, PulseConnection::Source source)
        : connection_(std::move(connection)), source_(std::move(source)) {}

    [[nodiscard]] std::optional<AudioFormat> format() const override {
        if (source_.spec.rate == 0 || source_.spec.channels == 0) {
            return std::nullopt;
        }
        return AudioFormat{SampleType::float32, static_cast<double>(source_.spec.rate),
                           source_.spec.channels, true};
    }

    [[nodiscard]] std::string name() const override { return source_.name; }

    std::variant<std::unique_ptr<SoundStream>, SoundServerError> createRecordStream(
        const SoundStreamRequest& request) override {
        const AudioFormat& format = request.format;
        if (format.sampleType != SampleType::float32 || !format.valid() ||
            format.channels > PA_CHANNELS_MAX) {
            return paError(PA_ERR_NOTSUPPORTED);
        }
        pa_sample_spec spec{};
        spec.format = PA_SAMPLE_FLOAT32NE;
        spec.rate = static_cast<std::uint32_t>(format.sampleRate);
        spec.channels = static_cast<std::uint8_t>(format.channels);
        pa_channel_map map{};
        if (spec.channels == source_.map.channels) {
            map = source_.map;
        } else {
            pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        const PulseConnection::Lock lock(*connection_);
        PaStreamPtr stream(
            pa_stream_new(connection_->context(), request.name.c_str(), &spec, &map));
        if (!stream) {
            return paContextError(connection_->context());
        }
        return std::make_unique<PulseRecordStream>(connection_, source_.name, request,
                                                   std::move(stream));
    }

  private:
    std::shared_ptr<PulseConnection> connection_;
    PulseConnection::Source source_;
};

// The device of a kind on an open connection (its lock held).
std::variant<PulseConnection::Source, SoundServerError> findSource(PulseConnection& connection,
                                                                   SoundDeviceKind kind) {
    if (kind == SoundDeviceKind::defaultInput) {
        auto found = connection.source("@DEFAULT_SOURCE@");
        // A monitor as the default source means there is no input at all.
        if (auto* source = std::get_if<PulseConnection::Source>(&found);
            source != nullptr && source->isMonitor) {
            return paError(PA_ERR_NOENTITY);
        }
        return found;
    }
    auto monitor = connection.sinkMonitor("@DEFAULT_SINK@");
    if (auto* error = std::get_if<SoundServerError>(&monitor)) {
        return *error;
    }
    return connection.source(std::get<std::string>(monitor));
}

}  // namespace

std::variant<std::unique_ptr<SoundDevice>, SoundServerError> PulseSoundServer::openDevice(
    SoundDeviceKind kind) {
    auto opened = PulseConnection::open();
    if (auto* error = std::get_if<SoundServerError>(&opened)) {
        return *error;
    }
    auto connection = std::get<std::shared_ptr<PulseConnection>>(std::move(opened));
    std::variant<PulseConnection::Source, SoundServerError> found;
    {
        const PulseConnection::Lock lock(*connection);
        found = findSource(*connection, kind);
    }
    if (auto* error = std::get_if<SoundServerError>(&found)) {
        return *error;
    }
    return std::make_unique<PulseDevice>(std::move(connection),
                                         std::get<PulseConnection::Source>(std::move(found)));
}

PulseSoundServer::~PulseSoundServer() {
    PulseConnection::joinClosingLoops();
}

bool PulseSoundServer::offersOutputMonitor() {
    return std::holds_alternative<std::unique_ptr<SoundDevice>>(
        openDevice(SoundDeviceKind::outputMonitor));
}

int PulseSoundServer::microphoneAccess() {
    auto opened = PulseConnection::open();
    if (auto* error = std::get_if<SoundServerError>(&opened)) {
        return error->status == PA_ERR_ACCESS ? denied : notDetermined;
    }
    auto& connection = *std::get<std::shared_ptr<PulseConnection>>(opened);
    const PulseConnection::Lock lock(connection);
    return std::holds_alternative<PulseConnection::Source>(
               findSource(connection, SoundDeviceKind::defaultInput))
               ? authorized
               : restricted;
}

}  // namespace pagemate::linux_backend
