#include "platform/fake/ScriptedSpeechRecognizer.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <thread>
#include <utility>

namespace pagemate::fake {

namespace {

std::string currentThreadName() {
    std::array<char, 16> name{};
    pthread_getname_np(pthread_self(), name.data(), name.size());
    return name.data();
}

bool contains(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// The recogniser the core holds: a thread of its own ("pagemate-asr-f") that hands the
// test's queued items to the core's handlers.
class ScriptedSpeechChannel final : public SpeechChannelRecognizer {
  public:
    explicit ScriptedSpeechChannel(std::shared_ptr<FakeSpeechChannel> state)
        : state_(std::move(state)) {}
    ScriptedSpeechChannel(const ScriptedSpeechChannel&) = delete;
    ScriptedSpeechChannel& operator=(const ScriptedSpeechChannel&) = delete;

    ~ScriptedSpeechChannel() override {
        {
            const std::lock_guard lock(state_->mutex_);
            state_->destroyed_ = true;
            state_->destroyedOn_ = currentThreadName();
            state_->queue_.clear();
            state_->changed_.notify_all();
        }
        if (worker_.joinable()) {
            if (worker_.get_id() == std::this_thread::get_id()) {
                worker_.detach();
            } else {
                worker_.join();  // waits for a callback that is running
            }
        }
    }

    [[nodiscard]] std::optional<AudioFormat> bestFormat(
        const AudioFormat& proposed) const override {
        const std::lock_guard lock(state_->mutex_);
        state_->proposed_ = proposed;
        return state_->bestFormat_;
    }

    std::variant<std::monostate, SpeechError> prepare(const AudioFormat& format) override {
        const std::lock_guard lock(state_->mutex_);
        if (state_->prepareFailure_) {
            return *state_->prepareFailure_;
        }
        state_->prepared_ = format;
        return {};
    }

    std::variant<std::monostate, SpeechError> start(ResultHandler onResult,
                                                    FailureHandler onFailure) override {
        const std::lock_guard lock(state_->mutex_);
        if (state_->startFailure_) {
            return *state_->startFailure_;
        }
        if (!state_->prepared_ || state_->started_) {
            return SpeechError{SpeechError::Kind::wrongState, "start without prepare, or twice"};
        }
        state_->started_ = true;
        state_->onResult_ = std::move(onResult);
        state_->onFailure_ = std::move(onFailure);
        worker_ = std::thread([state = state_] { run(*state); });
        return {};
    }

    void push(AudioBlockPtr block, std::int64_t startFrame) override {
        const std::lock_guard lock(state_->mutex_);
        if (!state_->started_ || state_->finalizeCalled_ || state_->ended_ || !block ||
            !state_->prepared_ || block->format() != *state_->prepared_) {
            return;
        }
        state_->inputs_.push_back(FakeSpeechChannel::Input{std::move(block), startFrame});
    }

    [[nodiscard]] double undecodedSeconds() const override {
        const std::lock_guard lock(state_->mutex_);
        return state_->undecodedLocked();
    }

    void finalize(FinalizeCompletion done) override {
        const std::lock_guard lock(state_->mutex_);
        state_->finalizeCalled_ = true;
        state_->onFinalized_ = std::move(done);
        using Item = FakeSpeechChannel::Item;
        if (state_->ended_) {
            // After a failure only the completion follows, with that failure.
            state_->queue_.push_back(Item{Item::Kind::finalize, {}, {}});
        } else {
            for (const SpeechResult& result : state_->finalResults_) {
                state_->queue_.push_back(Item{Item::Kind::result, result, {}});
            }
            state_->queue_.push_back(Item{Item::Kind::finalize, {}, {}});
        }
        state_->changed_.notify_all();
    }

  private:
    static void run(FakeSpeechChannel& state) {
        pthread_setname_np(pthread_self(), "pagemate-asr-f");
        std::optional<SpeechError> failure;
        std::unique_lock lock(state.mutex_);
        for (;;) {
            state.changed_.wait(lock, [&] { return state.destroyed_ || !state.queue_.empty(); });
            if (state.destroyed_) {
                return;
            }
            using Kind = FakeSpeechChannel::Item::Kind;
            if (state.queue_.front().kind == Kind::finalize && !state.ended_ &&
                state.undecodedLocked() > 0) {
                // The input is not all decoded: the completion waits for it, results
                // found meanwhile go first.
                state.changed_.wait(lock, [&] {
                    return state.destroyed_ || state.undecodedLocked() <= 0 ||
                           state.queue_.front().kind != Kind::finalize;
                });
                continue;
            }
            FakeSpeechChannel::Item item = std::move(state.queue_.front());
            state.queue_.pop_front();
            const bool deliverable =
                item.kind == Kind::finalize ? !state.finalized_ : !state.ended_;
            if (!deliverable) {
                state.changed_.notify_all();
                continue;
            }
            state.busy_ = true;
            state.callbackThreads_.push_back(currentThreadName());
            if (item.kind == Kind::result) {
                const auto handler = state.onResult_;
                lock.unlock();
                if (handler) {
                    handler(item.result);
                }
            } else if (item.kind == Kind::failure) {
                state.ended_ = true;
                failure = item.error;
                const auto handler = state.onFailure_;
                lock.unlock();
                if (handler) {
                    handler(item.error);
                }
            } else {
                state.ended_ = true;
                state.finalized_ = true;
                FinalizeOutcome outcome;
                if (failure) {
                    outcome = *failure;
                } else if (state.finalizeMode_ == FakeSpeechChannel::FinalizeMode::fail) {
                    outcome = state.finalizeError_;
                }
                const bool hangs =
                    state.finalizeMode_ == FakeSpeechChannel::FinalizeMode::neverEnds;
                const auto done = std::move(state.onFinalized_);
                lock.unlock();
                if (done && !hangs) {
                    done(outcome);
                }
            }
            lock.lock();
            state.busy_ = false;
            state.changed_.notify_all();
        }
    }

    std::shared_ptr<FakeSpeechChannel> state_;
    std::thread worker_;
};

void FakeSpeechChannel::setBestFormat(std::optional<AudioFormat> format) {
    const std::lock_guard lock(mutex_);
    bestFormat_ = format;
}

void FakeSpeechChannel::failPrepare(SpeechError error) {
    const std::lock_guard lock(mutex_);
    prepareFailure_ = std::move(error);
}

void FakeSpeechChannel::failStart(SpeechError error) {
    const std::lock_guard lock(mutex_);
    startFailure_ = std::move(error);
}

void FakeSpeechChannel::setFinalResults(std::vector<SpeechResult> results) {
    const std::lock_guard lock(mutex_);
    finalResults_ = std::move(results);
}

void FakeSpeechChannel::setFinalizeMode(FinalizeMode mode, SpeechError error) {
    const std::lock_guard lock(mutex_);
    finalizeMode_ = mode;
    finalizeError_ = std::move(error);
}

void FakeSpeechChannel::deliver(SpeechResult result) {
    const std::lock_guard lock(mutex_);
    if (!started_ || destroyed_) {
        return;
    }
    // Results the decoder finds while it works through its input come before the
    // completion of a finalize that waits for that input.
    const auto finalize = std::find_if(queue_.begin(), queue_.end(), [](const Item& item) {
        return item.kind == Item::Kind::finalize;
    });
    queue_.insert(finalize, Item{Item::Kind::result, std::move(result), {}});
    changed_.notify_all();
}

void FakeSpeechChannel::deliver(const std::vector<SpeechResult>& results) {
    for (const SpeechResult& result : results) {
        deliver(result);
    }
}

void FakeSpeechChannel::fail(SpeechError error) {
    const std::lock_guard lock(mutex_);
    if (!started_ || destroyed_) {
        return;
    }
    queue_.push_back(Item{Item::Kind::failure, {}, std::move(error)});
    changed_.notify_all();
}

void FakeSpeechChannel::setDecodedSeconds(std::optional<double> seconds) {
    const std::lock_guard lock(mutex_);
    decodedSeconds_ = seconds;
    changed_.notify_all();
}

double FakeSpeechChannel::undecodedLocked() const {
    if (!decodedSeconds_ || !prepared_ || prepared_->sampleRate <= 0) {
        return 0;
    }
    std::int64_t frames = 0;
    for (const Input& input : inputs_) {
        frames += input.block->frameLength();
    }
    return std::max(0.0, static_cast<double>(frames) / prepared_->sampleRate - *decodedSeconds_);
}

bool FakeSpeechChannel::waitUntilDelivered(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return destroyed_ ||
               (!busy_ && std::all_of(queue_.begin(), queue_.end(), [](const Item& item) {
                   return item.kind == Item::Kind::finalize;
               }));
    });
}

std::string FakeSpeechChannel::locale() const {
    const std::lock_guard lock(mutex_);
    return locale_;
}

std::optional<AudioFormat> FakeSpeechChannel::proposedFormat() const {
    const std::lock_guard lock(mutex_);
    return proposed_;
}

std::optional<AudioFormat> FakeSpeechChannel::preparedFormat() const {
    const std::lock_guard lock(mutex_);
    return prepared_;
}

bool FakeSpeechChannel::started() const {
    const std::lock_guard lock(mutex_);
    return started_;
}

std::vector<FakeSpeechChannel::Input> FakeSpeechChannel::inputs() const {
    const std::lock_guard lock(mutex_);
    return inputs_;
}

std::int64_t FakeSpeechChannel::framesPushed() const {
    const std::lock_guard lock(mutex_);
    std::int64_t frames = 0;
    for (const Input& input : inputs_) {
        frames += input.block->frameLength();
    }
    return frames;
}

bool FakeSpeechChannel::finalizeCalled() const {
    const std::lock_guard lock(mutex_);
    return finalizeCalled_;
}

bool FakeSpeechChannel::finalized() const {
    const std::lock_guard lock(mutex_);
    return finalized_ && finalizeMode_ != FinalizeMode::neverEnds;
}

bool FakeSpeechChannel::destroyed() const {
    const std::lock_guard lock(mutex_);
    return destroyed_;
}

std::optional<std::string> FakeSpeechChannel::waitUntilDestroyed(
    std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, limit, [&] { return destroyed_; })) {
        return std::nullopt;
    }
    return destroyedOn_;
}

std::vector<std::string> FakeSpeechChannel::callbackThreads() const {
    const std::lock_guard lock(mutex_);
    return callbackThreads_;
}

ScriptedSpeechRecognizer::ScriptedSpeechRecognizer() : supported{"en-US"}, installed{"en-US"} {}

FakeSpeechChannel& ScriptedSpeechRecognizer::channel(std::size_t index) {
    const std::lock_guard lock(mutex_);
    while (channels_.size() <= index) {
        channels_.push_back(std::make_shared<FakeSpeechChannel>());
    }
    return *channels_[index];
}

std::size_t ScriptedSpeechRecognizer::channelsMade() const {
    const std::lock_guard lock(mutex_);
    return made_;
}

std::vector<std::string> ScriptedSpeechRecognizer::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

void ScriptedSpeechRecognizer::record(std::string call) const {
    if (onCall) {
        onCall(call);
    }
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

SpeechRecognizer::Availability ScriptedSpeechRecognizer::availability() const {
    record("availability");
    return availabilityState;
}

std::string ScriptedSpeechRecognizer::availabilityDetail() const {
    return availabilityReason;
}

std::vector<std::string> ScriptedSpeechRecognizer::supportedLocales() const {
    record("supportedLocales");
    return supported;
}

std::vector<std::string> ScriptedSpeechRecognizer::installedLocales() const {
    record("installedLocales");
    return installed;
}

std::variant<std::optional<SpeechModelDownload>, SpeechError>
ScriptedSpeechRecognizer::installationRequest(std::string_view locale) {
    record("installationRequest " + std::string(locale));
    if (const auto failure = requestFailures.find(locale); failure != requestFailures.end()) {
        return failure->second;
    }
    if (const auto size = downloadSizes.find(locale); size != downloadSizes.end()) {
        return std::optional<SpeechModelDownload>(SpeechModelDownload{size->first, size->second});
    }
    if (contains(installed, locale)) {
        return std::optional<SpeechModelDownload>();
    }
    return SpeechError{SpeechError::Kind::unsupportedLocale, std::string(locale)};
}

std::variant<std::monostate, SpeechError> ScriptedSpeechRecognizer::downloadAndInstall(
    const SpeechModelDownload& request) {
    record("downloadAndInstall " + request.locale);
    if (downloadFailure) {
        return *downloadFailure;
    }
    downloadSizes.erase(request.locale);
    if (!contains(installed, request.locale)) {
        installed.push_back(request.locale);
    }
    return {};
}

std::vector<std::string> ScriptedSpeechRecognizer::reservedLocales() const {
    record("reservedLocales");
    return reserved;
}

std::variant<std::monostate, SpeechError> ScriptedSpeechRecognizer::reserve(
    std::string_view locale) {
    record("reserve " + std::string(locale));
    if (reserveFailure) {
        return *reserveFailure;
    }
    if (!contains(reserved, locale)) {
        reserved.emplace_back(locale);
    }
    return {};
}

std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError>
ScriptedSpeechRecognizer::makeChannel(std::string_view locale) {
    record("makeChannel " + std::string(locale));
    if (channelFailure) {
        return *channelFailure;
    }
    std::size_t index = 0;
    {
        const std::lock_guard lock(mutex_);
        index = made_++;
    }
    FakeSpeechChannel& state = channel(index);
    {
        const std::lock_guard lock(state.mutex_);
        state.locale_ = std::string(locale);
    }
    std::shared_ptr<FakeSpeechChannel> shared;
    {
        const std::lock_guard lock(mutex_);
        shared = channels_[index];
    }
    return std::unique_ptr<SpeechChannelRecognizer>(
        std::make_unique<ScriptedSpeechChannel>(std::move(shared)));
}

}  // namespace pagemate::fake
