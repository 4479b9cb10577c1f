#include "platform/linux/AvFileReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace pagemate::linux_backend {

class AvFileReader::Decoding {
  public:
    // The next decoded frame as float planar samples; null at the end of the stream.
    // The frame stays valid until the next call.
    using Next = std::variant<const AVFrame*, AudioError>;

    static std::variant<std::unique_ptr<Decoding>, AudioError> open(
        const std::filesystem::path& path);

    Next next();

    [[nodiscard]] const AVStream& stream() const { return *demuxer_->streams[streamIndex_]; }
    [[nodiscard]] const AVFormatContext& container() const { return *demuxer_; }
    [[nodiscard]] const AVCodecContext& decoder() const { return *decoder_; }

  private:
    // Gives the decoder its next packet of the stream, or the end.
    std::variant<std::monostate, AudioError> feed();
    Next toFloatPlanar(const AVFrame& frame);

    std::string name_;
    InputFormatPtr demuxer_;
    CodecContextPtr decoder_;
    int streamIndex_ = -1;
    PacketPtr packet_{av_packet_alloc()};
    FramePtr decoded_{av_frame_alloc()};
    FramePtr converted_{av_frame_alloc()};
    // Turns the decoder's samples into float planar ones, made for the first frame that
    // needs it and again whenever the frames' format changes.
    SwrPtr swr_;
    int swrSampleFormat_ = -1;
    int swrRate_ = 0;
    int swrChannels_ = 0;
    bool inputEnded_ = false;
};

std::variant<std::unique_ptr<AvFileReader::Decoding>, AudioError> AvFileReader::Decoding::open(
    const std::filesystem::path& path) {
    auto decoding = std::make_unique<Decoding>();
    decoding->name_ = path.string();
    if (!decoding->packet_ || !decoding->decoded_ || !decoding->converted_) {
        return avError(AVERROR(ENOMEM), "reading " + decoding->name_);
    }
    AVFormatContext* opened = nullptr;
    int status = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    decoding->demuxer_.reset(opened);  // on failure the library has freed it (null)
    if (status < 0) {
        return avError(status, "opening " + decoding->name_);
    }
    status = avformat_find_stream_info(decoding->demuxer_.get(), nullptr);
    if (status < 0) {
        return avError(status, "reading the streams of " + decoding->name_);
    }
    const AVCodec* codec = nullptr;
    status = av_find_best_stream(decoding->demuxer_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (status < 0) {
        return avError(status, "looking for sound in " + decoding->name_);
    }
    decoding->streamIndex_ = status;
    decoding->decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoding->decoder_) {
        return avError(AVERROR(ENOMEM), "making a decoder for " + decoding->name_);
    }
    status = avcodec_parameters_to_context(decoding->decoder_.get(), decoding->stream().codecpar);
    if (status >= 0) {
        status = avcodec_open2(decoding->decoder_.get(), codec, nullptr);
    }
    if (status < 0) {
        return avError(status, "opening the decoder for " + decoding->name_);
    }
    if (decoding->decoder_->sample_rate <= 0 || decoding->decoder_->ch_layout.nb_channels <= 0) {
        return avError(AVERROR_INVALIDDATA, "no rate or channels in " + decoding->name_);
    }
    return decoding;
}

AvFileReader::Decoding::Next AvFileReader::Decoding::next() {
    while (true) {
        const int status = avcodec_receive_frame(decoder_.get(), decoded_.get());
        if (status >= 0) {
            return toFloatPlanar(*decoded_);
        }
        if (status == AVERROR_EOF) {
            return static_cast<const AVFrame*>(nullptr);
        }
        if (status != AVERROR(EAGAIN)) {
            return avError(status, "decoding " + name_);
        }
        auto fed = feed();
        if (auto* error = std::get_if<AudioError>(&fed)) {
            return *error;
        }
    }
}

std::variant<std::monostate, AudioError> AvFileReader::Decoding::feed() {
    if (inputEnded_) {
        // The decoder has been told of the end; asking again is harmless.
        return std::monostate{};
    }
    while (true) {
        int status = av_read_frame(demuxer_.get(), packet_.get());
        if (status == AVERROR_EOF) {
            inputEnded_ = true;
            status = avcodec_send_packet(decoder_.get(), nullptr);
            return status < 0 && status != AVERROR_EOF ? std::variant<std::monostate, AudioError>(
                                                             avError(status, "ending " + name_))
                                                       : std::monostate{};
        }
        if (status < 0) {
            return avError(status, "reading " + name_);
        }
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        status = avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (status < 0) {
            return avError(status, "decoding " + name_);
        }
        return std::monostate{};
    }
}

AvFileReader::Decoding::Next AvFileReader::Decoding::toFloatPlanar(const AVFrame& frame) {
    if (frame.format == AV_SAMPLE_FMT_FLTP) {
        return &frame;
    }
    if (!swr_ || frame.format != swrSampleFormat_ || frame.sample_rate != swrRate_ ||
        frame.ch_layout.nb_channels != swrChannels_) {
        SwrContext* allocated = nullptr;
        // The library takes the layouts by non-const pointer (and copies them).
        AVChannelLayout layout{};
        int status = av_channel_layout_copy(&layout, &frame.ch_layout);
        if (status >= 0) {
            // Same rate and channels on both sides: only the sample format changes.
            status = swr_alloc_set_opts2(&allocated, &layout, AV_SAMPLE_FMT_FLTP, frame.sample_rate,
                                         &layout, static_cast<AVSampleFormat>(frame.format),
                                         frame.sample_rate, 0, nullptr);
        }
        av_channel_layout_uninit(&layout);
        swr_.reset(allocated);
        if (status >= 0) {
            status = swr_init(swr_.get());
        }
        if (status < 0) {
            swr_.reset();
            return avError(status, "turning the samples of " + name_ + " into floats");
        }
        swrSampleFormat_ = frame.format;
        swrRate_ = frame.sample_rate;
        swrChannels_ = frame.ch_layout.nb_channels;
    }
    // Same rate: as many samples come out as go in, and the converter keeps none back.
    av_frame_unref(converted_.get());
    converted_->format = AV_SAMPLE_FMT_FLTP;
    converted_->sample_rate = frame.sample_rate;
    converted_->nb_samples = frame.nb_samples;
    int status = av_channel_layout_copy(&converted_->ch_layout, &frame.ch_layout);
    if (status >= 0) {
        status = av_frame_get_buffer(converted_.get(), 0);
    }
    if (status >= 0) {
        status =
            swr_convert(swr_.get(), converted_->extended_data, frame.nb_samples,
                        const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
    }
    if (status < 0) {
        return avError(status, "turning the samples of " + name_ + " into floats");
    }
    converted_->nb_samples = status;
    return converted_.get();
}

std::variant<std::unique_ptr<AudioFileReader>, AudioError> AvFileReader::open(
    const std::filesystem::path& path) {
    quietLibraryLog();
    auto opened = Decoding::open(path);
    if (auto* error = std::get_if<AudioError>(&opened)) {
        return *error;
    }
    auto decoding = std::move(std::get<std::unique_ptr<Decoding>>(opened));

    Info info;
    const AVCodecContext& decoder = decoding->decoder();
    const AVStream& stream = decoding->stream();
    info.sampleRate = decoder.sample_rate;
    info.channels = static_cast<std::uint32_t>(decoder.ch_layout.nb_channels);
    info.codec = avcodec_get_name(decoder.codec_id);
    info.bitRate =
        stream.codecpar->bit_rate > 0 ? stream.codecpar->bit_rate : decoding->container().bit_rate;
    // A length guessed from the bit rate (as for a bare AAC stream) is not the
    // container's word.
    const bool told =
        stream.duration != AV_NOPTS_VALUE && stream.duration > 0 &&
        decoding->container().duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
    if (told) {
        info.frames =
            av_rescale_q(stream.duration, stream.time_base, AVRational{1, decoder.sample_rate});
    } else {
        // The container does not say: a pass of its own decodes the stream to count.
        auto counting = Decoding::open(path);
        if (auto* error = std::get_if<AudioError>(&counting)) {
            return *error;
        }
        auto& counter = *std::get<std::unique_ptr<Decoding>>(counting);
        while (true) {
            auto frame = counter.next();
            if (auto* error = std::get_if<AudioError>(&frame)) {
                return *error;
            }
            const AVFrame* decoded = std::get<const AVFrame*>(frame);
            if (decoded == nullptr) {
                break;
            }
            info.frames += decoded->nb_samples;
        }
    }
    return std::make_unique<AvFileReader>(std::move(decoding), info, told);
}

AvFileReader::AvFileReader(std::unique_ptr<Decoding> decoding, const Info& info, bool lengthTold)
    : decoding_(std::move(decoding)),
      info_(info),
      lengthTold_(lengthTold),
      format_{SampleType::float32, info.sampleRate, info.channels, false},
      fifo_(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, static_cast<int>(info.channels), 4096)) {}

AvFileReader::~AvFileReader() = default;

std::variant<std::uint32_t, AudioError> AvFileReader::read(AudioBlock& block) {
    if (block.format() != format_) {
        block.setFrameLength(0);
        return avError(AVERROR(EINVAL), "a block of " + block.format().description() +
                                            " given to a reader of " + format_.description());
    }
    if (!fifo_) {
        return avError(AVERROR(ENOMEM), "making the reader's buffer");
    }
    const int wanted = static_cast<int>(block.frameCapacity());
    while (!ended_ && av_audio_fifo_size(fifo_.get()) < wanted) {
        auto next = decoding_->next();
        if (auto* error = std::get_if<AudioError>(&next)) {
            block.setFrameLength(0);
            return *error;
        }
        const AVFrame* frame = std::get<const AVFrame*>(next);
        if (frame == nullptr) {
            ended_ = true;
            break;
        }
        if (frame->ch_layout.nb_channels != static_cast<int>(format_.channels)) {
            block.setFrameLength(0);
            return avError(AVERROR_INVALIDDATA, "the channel count changed within the file");
        }
        const int written = av_audio_fifo_write(
            fifo_.get(), reinterpret_cast<void**>(frame->extended_data), frame->nb_samples);
        if (written < 0) {
            block.setFrameLength(0);
            return avError(written, "buffering decoded samples");
        }
    }
    std::vector<void*> planes(block.bufferCount());
    for (std::size_t plane = 0; plane < planes.size(); ++plane) {
        planes[plane] = block.bytes(plane).data();
    }
    int available = std::min(wanted, av_audio_fifo_size(fifo_.get()));
    if (lengthTold_) {
        // The encoder's padding after the last sample is not part of the recording.
        available = static_cast<int>(std::min<std::int64_t>(
            available, std::max<std::int64_t>(info_.frames - delivered_, 0)));
    }
    const int read = av_audio_fifo_read(fifo_.get(), planes.data(), available);
    if (read < 0) {
        block.setFrameLength(0);
        return avError(read, "taking decoded samples");
    }
    delivered_ += read;
    block.setFrameLength(static_cast<std::uint32_t>(read));
    return static_cast<std::uint32_t>(read);
}

}  // namespace pagemate::linux_backend
