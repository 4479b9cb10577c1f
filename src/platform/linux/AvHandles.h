#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/AudioCodecs.h"

// FFmpeg's handle types, declared here so that the backend's headers need not include
// the library's own.
extern "C" {
struct AVAudioFifo;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
}

namespace pagemate::linux_backend {

// Owning pointers for FFmpeg's handles, each freed by the library's own function.
struct SwrFree {
    void operator()(SwrContext* context) const;
};
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

struct CodecContextFree {
    void operator()(AVCodecContext* context) const;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;

// A demuxer opened by avformat_open_input: closed with avformat_close_input.
struct InputFormatClose {
    void operator()(AVFormatContext* context) const;
};
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatClose>;

// A muxer made by avformat_alloc_output_context2: its file (if opened) is closed, then
// the context freed. No trailer is written here; a muxer dropped without one leaves an
// unfinished file.
struct OutputFormatFree {
    void operator()(AVFormatContext* context) const;
};
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;

struct FrameFree {
    void operator()(AVFrame* frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct PacketFree {
    void operator()(AVPacket* packet) const;
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

struct AudioFifoFree {
    void operator()(AVAudioFifo* fifo) const;
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;

// The failure `code` (a negative AVERROR number) with the library's words for it,
// followed by `context` when given: "Invalid argument (while opening the encoder)".
AudioError avError(int code, const std::string& context = {});

// Silences the libraries' own logging. Even at its error level FFmpeg writes lines
// such as "[mov,mp4,...] moov atom not found" to the error stream for a file the
// caller only tried; every failure reaches the caller as an AudioError instead, with
// the library's status and words. Safe to call more than once, from any thread.
void quietLibraryLog();

}  // namespace pagemate::linux_backend
