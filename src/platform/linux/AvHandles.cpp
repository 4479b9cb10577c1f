#include "platform/linux/AvHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <array>

namespace pagemate::linux_backend {

void SwrFree::operator()(SwrContext* context) const {
    swr_free(&context);
}

void CodecContextFree::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}

void InputFormatClose::operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
}

void OutputFormatFree::operator()(AVFormatContext* context) const {
    if (context->oformat != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

void FrameFree::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}

void PacketFree::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}

void AudioFifoFree::operator()(AVAudioFifo* fifo) const {
    av_audio_fifo_free(fifo);
}

AudioError avError(int code, const std::string& context) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> words{};
    // For a code it does not know av_strerror still writes a text ("Error number -n
    // occurred"), which serves as well.
    av_strerror(code, words.data(), words.size());
    std::string description(words.data());
    if (!context.empty()) {
        description += " (" + context + ")";
    }
    return AudioError{code, description};
}

void quietLibraryLog() {
    av_log_set_level(AV_LOG_QUIET);
}

}  // namespace pagemate::linux_backend
