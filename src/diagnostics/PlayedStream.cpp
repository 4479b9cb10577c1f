#include "diagnostics/PlayedStream.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Platform.h"

namespace pagemate {

// Shared with the stream's thread, which may outlive the stream object by the end of
// its last block.
struct PlayedStream::Play {
    Next next;
    std::chrono::microseconds pause;
    std::function<void()> ended;
    std::mutex mutex;
    std::condition_variable finished;
    bool started = false;
    bool stopping = false;
    bool running = false;
};

PlayedStream::PlayedStream(Next next, std::chrono::microseconds pause, std::function<void()> ended)
    : play_(std::make_shared<Play>()) {
    play_->next = std::move(next);
    play_->pause = pause;
    play_->ended = std::move(ended);
}

PlayedStream::~PlayedStream() {
    stop();
}

std::optional<MeetingCaptureError> PlayedStream::start() {
    const std::lock_guard guard(play_->mutex);
    if (play_->started) {
        return std::nullopt;
    }
    play_->started = true;
    play_->running = true;
    // The thread reads onBuffer only; it is set before start() and never changed.
    const bool runs = Platform::current().background.run(
        "pagemate-play", [play = play_, deliver = onBuffer](const std::stop_token& token) {
            const auto stopped = [&] {
                const std::lock_guard lock(play->mutex);
                return play->stopping || token.stop_requested();
            };
            bool atEnd = false;
            while (!stopped()) {
                const AudioBlockPtr block = play->next();
                if (!block) {
                    atEnd = true;
                    break;
                }
                if (deliver) {
                    deliver(block);
                }
                std::this_thread::sleep_for(play->pause);
            }
            if (atEnd && play->ended) {
                play->ended();
            }
            const std::lock_guard lock(play->mutex);
            play->running = false;
            play->finished.notify_all();
        });
    if (!runs) {
        play_->running = false;  // the program is ending
    }
    return std::nullopt;
}

void PlayedStream::stop() {
    std::unique_lock lock(play_->mutex);
    play_->stopping = true;
    play_->finished.wait(lock, [this] { return !play_->running; });
}

}  // namespace pagemate
