#include "platform/linux/AvFileWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <cmath>
#include <string>
#include <vector>

namespace pagemate::linux_backend {

struct AvFileWriter::Parts {
    AudioFormat format;
    OutputFormatPtr muxer;
    CodecContextPtr encoder;
    AVStream* stream = nullptr;  // owned by the muxer
    AudioFifoPtr fifo;
    FramePtr frame;
    PacketPtr packet;
};

namespace {

std::variant<CodecContextPtr, AudioError> openEncoder(const AacFileSettings& settings,
                                                      const AVOutputFormat& container) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        return avError(AVERROR_ENCODER_NOT_FOUND, "looking for the aac encoder");
    }
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder) {
        return avError(AVERROR(ENOMEM), "making the aac encoder");
    }
    const int rate = static_cast<int>(std::lround(settings.sampleRate));
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = rate;
    av_channel_layout_default(&encoder->ch_layout, static_cast<int>(settings.channels));
    encoder->bit_rate = settings.bitRate;
    encoder->time_base = AVRational{1, rate};
    if ((container.flags & AVFMT_GLOBALHEADER) != 0) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    const int status = avcodec_open2(encoder.get(), codec, nullptr);
    if (status < 0) {
        return avError(status, "opening the aac encoder");
    }
    return encoder;
}

}  // namespace

std::variant<std::unique_ptr<AudioFileWriter>, AudioError> AvFileWriter::create(
    const std::filesystem::path& path, const AacFileSettings& settings) {
    quietLibraryLog();
    if (!std::isfinite(settings.sampleRate) || settings.sampleRate < 1 || settings.channels == 0 ||
        settings.bitRate <= 0) {
        return avError(AVERROR(EINVAL), "aac file settings");
    }
    auto parts = std::make_unique<Parts>();
    parts->format =
        AudioFormat{SampleType::float32, std::round(settings.sampleRate), settings.channels, false};

    AVFormatContext* allocated = nullptr;
    int status = avformat_alloc_output_context2(&allocated, nullptr, "ipod", path.c_str());
    parts->muxer.reset(allocated);
    if (status < 0) {
        return avError(status, "making the m4a container");
    }
    auto encoder = openEncoder(settings, *parts->muxer->oformat);
    if (auto* error = std::get_if<AudioError>(&encoder)) {
        return *error;
    }
    parts->encoder = std::move(std::get<CodecContextPtr>(encoder));

    parts->stream = avformat_new_stream(parts->muxer.get(), nullptr);
    if (parts->stream == nullptr) {
        return avError(AVERROR(ENOMEM), "adding the audio stream");
    }
    parts->stream->time_base = parts->encoder->time_base;
    status = avcodec_parameters_from_context(parts->stream->codecpar, parts->encoder.get());
    if (status < 0) {
        return avError(status, "describing the audio stream");
    }
    status = avio_open(&parts->muxer->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) {
        return avError(status, "creating " + path.string());
    }
    status = avformat_write_header(parts->muxer.get(), nullptr);
    if (status < 0) {
        return avError(status, "writing the head of " + path.string());
    }

    parts->fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, static_cast<int>(settings.channels),
                                          parts->encoder->frame_size));
    parts->frame.reset(av_frame_alloc());
    parts->packet.reset(av_packet_alloc());
    if (!parts->fifo || !parts->frame || !parts->packet) {
        return avError(AVERROR(ENOMEM), "making the encoder's buffers");
    }
    return std::make_unique<AvFileWriter>(std::move(parts));
}

AvFileWriter::AvFileWriter(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

AvFileWriter::~AvFileWriter() = default;

AudioFormat AvFileWriter::processingFormat() const {
    return parts_->format;
}

std::variant<std::monostate, AudioError> AvFileWriter::write(const AudioBlock& block) {
    if (finished_) {
        return avError(AVERROR(EINVAL), "writing to a finished file");
    }
    if (block.format() != parts_->format) {
        return avError(AVERROR(EINVAL), "a block of " + block.format().description() +
                                            " given to a file of " + parts_->format.description());
    }
    if (block.frameLength() == 0) {
        return std::monostate{};
    }
    std::vector<void*> planes(block.bufferCount());
    for (std::size_t plane = 0; plane < planes.size(); ++plane) {
        // The FIFO only reads from the planes; its interface is not const-correct.
        planes[plane] = const_cast<std::byte*>(block.bytes(plane).data());
    }
    const int written = av_audio_fifo_write(parts_->fifo.get(), planes.data(),
                                            static_cast<int>(block.frameLength()));
    if (written < 0) {
        return avError(written, "queueing samples for the encoder");
    }
    const int frameSize = parts_->encoder->frame_size;
    while (av_audio_fifo_size(parts_->fifo.get()) >= frameSize) {
        auto encoded = encode(frameSize);
        if (std::holds_alternative<AudioError>(encoded)) {
            return encoded;
        }
    }
    return std::monostate{};
}

std::variant<std::monostate, AudioError> AvFileWriter::finish() {
    if (finished_) {
        return std::monostate{};
    }
    finished_ = true;
    const int rest = av_audio_fifo_size(parts_->fifo.get());
    if (rest > 0) {
        // The encoder takes a shorter last frame.
        auto encoded = encode(rest);
        if (std::holds_alternative<AudioError>(encoded)) {
            return encoded;
        }
    }
    auto drained = encode(0);
    if (std::holds_alternative<AudioError>(drained)) {
        return drained;
    }
    int status = av_write_trailer(parts_->muxer.get());
    if (status < 0) {
        return avError(status, "writing the index of the m4a file");
    }
    status = avio_closep(&parts_->muxer->pb);
    if (status < 0) {
        return avError(status, "closing the m4a file");
    }
    return std::monostate{};
}

std::variant<std::monostate, AudioError> AvFileWriter::encode(int frames) {
    AVFrame* frame = nullptr;
    if (frames > 0) {
        frame = parts_->frame.get();
        av_frame_unref(frame);
        frame->nb_samples = frames;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = parts_->encoder->sample_rate;
        int status = av_channel_layout_copy(&frame->ch_layout, &parts_->encoder->ch_layout);
        if (status >= 0) {
            status = av_frame_get_buffer(frame, 0);
        }
        if (status < 0) {
            return avError(status, "making a frame for the encoder");
        }
        const int read = av_audio_fifo_read(parts_->fifo.get(),
                                            reinterpret_cast<void**>(frame->extended_data), frames);
        if (read < frames) {
            return avError(read < 0 ? read : AVERROR_BUG, "taking samples for the encoder");
        }
        frame->pts = nextPts_;
        nextPts_ += frames;
    }
    const int status = avcodec_send_frame(parts_->encoder.get(), frame);
    if (status < 0) {
        return avError(status, "encoding aac");
    }
    return writePackets();
}

std::variant<std::monostate, AudioError> AvFileWriter::writePackets() {
    AVPacket* packet = parts_->packet.get();
    while (true) {
        int status = avcodec_receive_packet(parts_->encoder.get(), packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            return std::monostate{};
        }
        if (status < 0) {
            return avError(status, "encoding aac");
        }
        av_packet_rescale_ts(packet, parts_->encoder->time_base, parts_->stream->time_base);
        packet->stream_index = parts_->stream->index;
        // Takes the packet's data and leaves it blank.
        status = av_interleaved_write_frame(parts_->muxer.get(), packet);
        if (status < 0) {
            return avError(status, "writing to the m4a file");
        }
    }
}

}  // namespace pagemate::linux_backend
