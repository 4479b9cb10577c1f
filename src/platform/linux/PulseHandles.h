#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

#include "platform/SoundServer.h"

namespace pagemate::linux_backend {

// Owning pointers for PulseAudio's client handles.
struct PaContextRelease {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
using PaContextPtr = std::unique_ptr<pa_context, PaContextRelease>;

struct PaStreamUnref {
    void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};
using PaStreamPtr = std::unique_ptr<pa_stream, PaStreamUnref>;

struct PaOperationUnref {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
using PaOperationPtr = std::unique_ptr<pa_operation, PaOperationUnref>;

// The client's status and its words.
inline SoundServerError paError(int status) {
    const char* words = pa_strerror(status);
    return {status, words != nullptr ? words : "unknown"};
}

inline SoundServerError paContextError(pa_context* context) {
    const int status = context != nullptr ? pa_context_errno(context) : PA_ERR_INTERNAL;
    // A failure with no number recorded still says that something failed.
    return paError(status != 0 ? status : PA_ERR_UNKNOWN);
}

}  // namespace pagemate::linux_backend
