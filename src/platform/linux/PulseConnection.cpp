#include "platform/linux/PulseConnection.h"

#include <pulse/rtclock.h>

#include "support/BackgroundThreads.h"

namespace pagemate::linux_backend {

namespace {

// The threads that stop and free loops, each joined by the next one started or by
// joinClosingLoops().
BackgroundThreads& closingLoops() {
    static BackgroundThreads threads;
    return threads;
}

}  // namespace

void PulseConnection::joinClosingLoops() {
    closingLoops().joinRunning();
}

// The threaded main loop. It is stopped and freed off its own thread: when the last
// owner lets go on that thread (a stream's callback dropping the last reference), a
// short-lived thread does it once the callback has returned.
struct PulseConnection::Loop {
    pa_threaded_mainloop* loop = nullptr;
    bool started = false;

    Loop() : loop(pa_threaded_mainloop_new()) {}
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ~Loop() {
        if (loop == nullptr) {
            return;
        }
        if (!started) {
            pa_threaded_mainloop_free(loop);
            return;
        }
        if (pa_threaded_mainloop_in_thread(loop) != 0) {
            closingLoops().run("pagemate-pa-end", [handle = loop](const std::stop_token&) {
                pa_threaded_mainloop_stop(handle);
                pa_threaded_mainloop_free(handle);
            });
            return;
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};

PulseConnection::PulseConnection() : loop_(std::make_unique<Loop>()) {}

PulseConnection::~PulseConnection() {
    if (context_) {
        const Lock lock(*this);
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        context_.reset();
    }
}

bool PulseConnection::inLoopThread() const {
    return pa_threaded_mainloop_in_thread(loop_->loop) != 0;
}

PulseConnection::Lock::Lock(const PulseConnection& connection) {
    if (!connection.inLoopThread()) {
        loop_ = connection.loop_->loop;
        pa_threaded_mainloop_lock(loop_);
    }
}

PulseConnection::Lock::~Lock() {
    if (loop_ != nullptr) {
        pa_threaded_mainloop_unlock(loop_);
    }
}

void PulseConnection::signal() {
    pa_threaded_mainloop_signal(loop_->loop, 0);
}

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
    if (done()) {
        return true;
    }
    struct Alarm {
        PulseConnection* connection;
        bool rang = false;
    } alarm{this};
    const auto ring = [](pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                         const struct timeval* /*when*/, void* data) {
        auto* self = static_cast<Alarm*>(data);
        self->rang = true;
        self->connection->signal();
    };
    const auto due = pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC;
    pa_time_event* event = pa_context_rttime_new(context_.get(), due, ring, &alarm);
    while (!done() && !alarm.rang) {
        pa_threaded_mainloop_wait(loop_->loop);
    }
    if (event != nullptr) {
        pa_threaded_mainloop_get_api(loop_->loop)->time_free(event);
    }
    return done();
}

std::variant<std::shared_ptr<PulseConnection>, SoundServerError> PulseConnection::open() {
    std::shared_ptr<PulseConnection> connection(new PulseConnection());
    pa_threaded_mainloop* loop = connection->loop_->loop;
    if (loop == nullptr) {
        return paError(PA_ERR_INTERNAL);
    }
    pa_threaded_mainloop_set_name(loop, "pagemate-pulse");
    if (pa_threaded_mainloop_start(loop) < 0) {
        return paError(PA_ERR_INTERNAL);
    }
    connection->loop_->started = true;

    const Lock lock(*connection);
    connection->context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop), "Pagemate"));
    pa_context* context = connection->context_.get();
    if (context == nullptr) {
        return paError(PA_ERR_INTERNAL);
    }
    pa_context_set_state_callback(
        context,
        [](pa_context* /*context*/, void* data) { static_cast<PulseConnection*>(data)->signal(); },
        connection.get());
    // Never start a server of our own: the user's session has one, or there is none.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return paContextError(context);
    }
    const auto settled = [context] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!connection->waitUntil(settled)) {
        return paError(PA_ERR_TIMEOUT);
    }
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return paContextError(context);
    }
    return connection;
}

std::optional<SoundServerError> PulseConnection::await(PaOperationPtr operation) {
    if (!operation) {
        return paContextError(context_.get());
    }
    pa_operation* raw = operation.get();
    if (!waitUntil([raw] { return pa_operation_get_state(raw) != PA_OPERATION_RUNNING; })) {
        pa_operation_cancel(raw);
        return paError(PA_ERR_TIMEOUT);
    }
    return std::nullopt;
}

std::variant<std::pair<std::string, std::string>, SoundServerError> PulseConnection::defaults() {
    struct Answer {
        PulseConnection* connection = nullptr;
        bool received = false;
        std::string sink;
        std::string source;
    } answer;
    answer.connection = this;
    const auto callback = [](pa_context* /*context*/, const pa_server_info* info, void* data) {
        auto* self = static_cast<Answer*>(data);
        if (info != nullptr) {
            self->received = true;
            self->sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
            self->source = info->default_source_name != nullptr ? info->default_source_name : "";
        }
        self->connection->signal();
    };
    if (auto error =
            await(PaOperationPtr(pa_context_get_server_info(context_.get(), callback, &answer)))) {
        return *error;
    }
    if (!answer.received) {
        return paContextError(context_.get());
    }
    return std::pair{answer.sink, answer.source};
}

std::variant<PulseConnection::Source, SoundServerError> PulseConnection::source(
    const std::string& name) {
    struct Answer {
        PulseConnection* connection = nullptr;
        bool received = false;
        bool failed = false;
        Source source;
    } answer;
    answer.connection = this;
    const auto callback = [](pa_context* /*context*/, const pa_source_info* info, int eol,
                             void* data) {
        auto* self = static_cast<Answer*>(data);
        if (eol < 0) {
            self->failed = true;
        } else if (info != nullptr && !self->received) {
            self->received = true;
            self->source.name = info->name != nullptr ? info->name : "";
            self->source.spec = info->sample_spec;
            self->source.map = info->channel_map;
            self->source.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        }
        self->connection->signal();
    };
    if (auto error = await(PaOperationPtr(
            pa_context_get_source_info_by_name(context_.get(), name.c_str(), callback, &answer)))) {
        return *error;
    }
    if (!answer.received) {
        return answer.failed ? paContextError(context_.get()) : paError(PA_ERR_NOENTITY);
    }
    return answer.source;
}

std::variant<std::string, SoundServerError> PulseConnection::sinkMonitor(const std::string& sink) {
    struct Answer {
        PulseConnection* connection = nullptr;
        bool received = false;
        bool failed = false;
        std::string monitor;
    } answer;
    answer.connection = this;
    const auto callback = [](pa_context* /*context*/, const pa_sink_info* info, int eol,
                             void* data) {
        auto* self = static_cast<Answer*>(data);
        if (eol < 0) {
            self->failed = true;
        } else if (info != nullptr && !self->received) {
            self->received = true;
            self->monitor = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
        }
        self->connection->signal();
    };
    if (auto error = await(PaOperationPtr(
            pa_context_get_sink_info_by_name(context_.get(), sink.c_str(), callback, &answer)))) {
        return *error;
    }
    if (!answer.received || answer.monitor.empty()) {
        return answer.failed ? paContextError(context_.get()) : paError(PA_ERR_NOENTITY);
    }
    return answer.monitor;
}

}  // namespace pagemate::linux_backend
