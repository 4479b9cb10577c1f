#include "meeting/TranscriptionChannel.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <utility>

#include "base/AppLog.h"
#include "base/SpeechErrorText.h"
#include "platform/Platform.h"
#include "support/Text.h"

namespace pagemate {

namespace {

std::string formatDecimal(const char* pattern, double value) {
    std::array<char, 64> text{};
    (void)std::snprintf(text.data(), text.size(), pattern, value);
    return text.data();
}

// The rate and channels as the log shows them: "16000Hz/1声道".
std::string rateAndChannels(const AudioFormat& format) {
    return std::to_string(static_cast<std::int64_t>(format.sampleRate)) + "Hz/" +
           std::to_string(format.channels) + "声道";
}

// The first `count` code points of UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t taken = 0; end < text.size() && taken < count; ++taken) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
            ++end;
        }
    }
    return std::string(text.substr(0, end));
}

double finiteOrZero(double value) {
    return std::isfinite(value) ? value : 0;
}

}  // namespace

struct TranscriptionChannel::ResultsLink {
    std::mutex mutex;
    std::condition_variable changed;
    bool cancelled = false;     // finish gave up or the channel is gone
    std::uint64_t posted = 0;   // segments handed to the main thread
    std::uint64_t handled = 0;  // of those, the ones the main thread is done with
    // The decoder thread's own: the open utterance.
    std::optional<std::string> currentId;
    double lastEnd = -1;
};

std::shared_ptr<TranscriptionChannel> TranscriptionChannel::make(
    std::string speaker, std::string locale, MainQueue::Clock::time_point startedAt) {
    return std::make_shared<TranscriptionChannel>(Key{}, std::move(speaker), std::move(locale),
                                                  startedAt);
}

TranscriptionChannel::TranscriptionChannel(Key /*made by make()*/, std::string speaker,
                                           std::string locale,
                                           MainQueue::Clock::time_point startedAt)
    : speaker_(std::move(speaker)),
      locale_(std::move(locale)),
      startedAt_(startedAt),
      queue_(*Platform::current().mainQueue),
      link_(std::make_shared<ResultsLink>()) {}

// The recogniser is destroyed outside the channel's locks: it waits for a handler that
// may be running.
TranscriptionChannel::~TranscriptionChannel() {
    release().reset();
}

bool TranscriptionChannel::sameFormat(const AudioFormat& left, const AudioFormat& right) {
    return left.sampleRate == right.sampleRate && left.channels == right.channels &&
           left.sampleType == right.sampleType && left.interleaved == right.interleaved;
}

float TranscriptionChannel::peakLevel(const AudioBlock& block) {
    if (block.format().sampleType != SampleType::float32 || block.frameLength() == 0) {
        return 0;
    }
    float peak = 0;
    for (std::size_t buffer = 0; buffer < block.bufferCount(); ++buffer) {
        for (const float sample : block.floats(buffer)) {
            peak = std::max(peak, std::fabs(sample));
        }
    }
    return peak;
}

std::string TranscriptionChannel::timeLabel(double offset, double elapsed) {
    const double seconds = std::isfinite(offset) && offset > 0 ? offset : elapsed;
    const std::int64_t whole =
        std::isfinite(seconds) && seconds > 0 ? static_cast<std::int64_t>(seconds) : 0;
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%02" PRId64 ":%02" PRId64, whole / 60,
                        whole % 60);
    return text.data();
}

std::optional<AudioFormat> TranscriptionChannel::preparedFormat() const {
    const std::lock_guard lock(input_);
    return prepared_;
}

double TranscriptionChannel::backlogSeconds() const {
    const std::lock_guard lock(input_);
    return recognizer_ ? recognizer_->undecodedSeconds() : 0;
}

void TranscriptionChannel::noteBacklog(double backlog) {
    double largest = largestBacklog_;
    while (backlog > largest && !largestBacklog_.compare_exchange_weak(largest, backlog)) {
    }
    if (backlog > backlogLogged && !loggedBacklog_.exchange(true)) {
        AppLog::write("本机识别[" + speaker_ + "]：识别落后录音 " + formatDecimal("%.1f", backlog) +
                      " 秒（处理器忙），停止时会先转写完积压的音频");
    }
}

std::optional<SpeechError> TranscriptionChannel::start() {
    auto made = Platform::current().speech->makeChannel(locale_);
    if (auto* error = std::get_if<SpeechError>(&made)) {
        return *error;
    }
    std::unique_ptr<SpeechChannelRecognizer> recognizer =
        std::move(std::get<std::unique_ptr<SpeechChannelRecognizer>>(made));

    const AudioFormat prepared = recognizer->bestFormat(captureFormat_).value_or(captureFormat_);
    if (!sameFormat(prepared, captureFormat_)) {
        AudioCodecs* codecs = Platform::current().audioCodecs.get();
        if (codecs != nullptr) {
            auto converter = codecs->makeConverter(captureFormat_, prepared);
            if (auto* usable = std::get_if<std::unique_ptr<AudioConverter>>(&converter)) {
                converter_ = std::move(*usable);
                converterInput_ = captureFormat_;
            }
        }
    }
    AppLog::write("本机识别[" + speaker_ + "]：采集 " + rateAndChannels(captureFormat_) +
                  " → 识别器 " + rateAndChannels(prepared) +
                  (converter_ ? "（启用转换）" : "（无需转换）"));

    if (auto prepare = recognizer->prepare(prepared);
        auto* error = std::get_if<SpeechError>(&prepare)) {
        return *error;
    }
    const std::weak_ptr<TranscriptionChannel> weakSelf = weak_from_this();
    const std::shared_ptr<ResultsLink> link = link_;
    MainQueue* queue = &queue_;
    auto started = recognizer->start(
        [weakSelf, link, queue](const SpeechResult& result) {
            std::optional<Heard> heard;
            if (const auto self = weakSelf.lock()) {
                heard = self->handleResult(result, *link);
            }
            if (heard) {
                deliver(weakSelf, link, *queue, *heard);
            }
        },
        [weakSelf](const SpeechError& error) {
            if (const auto self = weakSelf.lock()) {
                self->handleFailure(error);
            }
        });
    if (auto* error = std::get_if<SpeechError>(&started)) {
        return *error;
    }
    const std::lock_guard lock(input_);
    recognizer_ = std::move(recognizer);
    prepared_ = prepared;
    inputOpen_ = true;
    return std::nullopt;
}

void TranscriptionChannel::logConvertFailure(const std::string& message) {
    if (!loggedConvertFailure_) {
        loggedConvertFailure_ = true;
        AppLog::write("本机识别[" + speaker_ + "]：" + message);
    }
}

std::optional<AudioBlockPtr> TranscriptionChannel::convertForRecognizer(
    const AudioBlockPtr& block, const AudioFormat& prepared) {
    if (sameFormat(block->format(), prepared)) {
        return block;
    }
    if (!converter_ || !converterInput_ || !sameFormat(*converterInput_, block->format())) {
        converter_.reset();
        converterInput_.reset();
        AudioCodecs* codecs = Platform::current().audioCodecs.get();
        if (codecs != nullptr) {
            auto made = codecs->makeConverter(block->format(), prepared);
            if (auto* converter = std::get_if<std::unique_ptr<AudioConverter>>(&made)) {
                converter_ = std::move(*converter);
                converterInput_ = block->format();
            }
        }
        if (!converter_) {
            logConvertFailure("无法把采集格式转成识别器格式，该通道已跳过");
            return std::nullopt;
        }
    }
    const double ratio =
        block->format().sampleRate > 0 ? prepared.sampleRate / block->format().sampleRate : 0;
    const auto capacity =
        static_cast<std::uint32_t>(std::floor(ratio * block->frameLength())) + extraConverterFrames;
    const std::shared_ptr<AudioBlock> output = AudioBlock::make(prepared, capacity);
    if (!output) {
        logConvertFailure("音频转换失败 未知错误");
        return std::nullopt;
    }
    if (auto converted = converter_->convert(*block, *output);
        auto* error = std::get_if<AudioError>(&converted)) {
        logConvertFailure("音频转换失败 " + (error->description.empty() ? std::string("未知错误")
                                                                        : error->description));
        return std::nullopt;
    }
    return AudioBlockPtr(output);
}

void TranscriptionChannel::feed(const AudioBlockPtr& block) {
    if (!block) {
        return;
    }
    std::optional<AudioFormat> prepared;
    {
        const std::lock_guard lock(input_);
        if (!inputOpen_ || !prepared_) {
            return;
        }
        prepared = prepared_;
    }
    const std::optional<AudioBlockPtr> input = convertForRecognizer(block, *prepared);
    if (!input || (*input)->frameLength() == 0) {
        return;
    }
    const std::int64_t startFrame = framesSent_.fetch_add((*input)->frameLength());
    double backlog = 0;
    {
        // The peak is in before the block reaches the decoder, whose results look for it.
        const std::lock_guard lock(input_);
        if (!inputOpen_ || !recognizer_) {
            return;
        }
        backlog = recognizer_->undecodedSeconds();
        recordPeak(finiteOrZero(static_cast<double>(startFrame) / prepared->sampleRate), backlog,
                   peakLevel(*block));
        recognizer_->push(*input, startFrame);
    }
    noteBacklog(backlog);
}

void TranscriptionChannel::recordPeak(double at, double backlog, float peak) {
    const auto slot = [](double seconds) {
        return static_cast<std::int64_t>(std::floor(seconds / peakSlotSeconds + 1e-6));
    };
    const std::lock_guard lock(peaksMutex_);
    if (!recentPeaks_.empty() && slot(recentPeaks_.back().at) == slot(at)) {
        recentPeaks_.back().peak = std::max(recentPeaks_.back().peak, peak);
    } else {
        recentPeaks_.push_back(PeakRecord{at, peak});
    }
    const double oldest = at - backlog - peakHistorySeconds;
    while (!recentPeaks_.empty() &&
           (recentPeaks_.front().at < oldest || recentPeaks_.size() > peakHistoryEntries)) {
        recentPeaks_.pop_front();
    }
}

bool TranscriptionChannel::heard(double start, double end) {
    const std::lock_guard lock(peaksMutex_);
    return std::any_of(recentPeaks_.begin(), recentPeaks_.end(), [&](const PeakRecord& record) {
        return start - silenceMargin <= record.at && record.at <= end + silenceMargin &&
               static_cast<double>(record.peak) >= silenceThreshold;
    });
}

std::optional<TranscriptionChannel::Heard> TranscriptionChannel::handleResult(
    const SpeechResult& result, const ResultsLink& link) {
    const std::string text(trimWhitespace(result.text));
    if (text.empty()) {
        return std::nullopt;
    }
    const double start = finiteOrZero(result.start);
    const double end = start + finiteOrZero(result.duration);
    if (!heard(start, end)) {
        const std::int64_t dropped = ++droppedSilent_;
        if (dropped <= silentDropsLogged) {
            std::size_t records = 0;
            {
                const std::lock_guard lock(peaksMutex_);
                records = recentPeaks_.size();
            }
            AppLog::write("静音过滤[" + speaker_ + "]：丢弃「" + firstCharacters(text, 20) +
                          "」 区间 " + formatDecimal("%.1f", start) + "~" +
                          formatDecimal("%.1f", end) + " 秒，峰值记录 " + std::to_string(records) +
                          " 条");
        }
        return std::nullopt;
    }
    ++resultsReceived_;

    std::string id;
    if (!link.currentId || start > link.lastEnd + utteranceGap) {
        id = speaker_ + "-" + std::to_string(static_cast<std::int64_t>(start * 10));
    } else {
        id = *link.currentId;
    }
    const double elapsed = std::chrono::duration<double>(queue_.now() - startedAt_).count();
    return Heard{MeetingSegment{id, speaker_, timeLabel(start, elapsed), text, result.final}, end};
}

void TranscriptionChannel::deliver(const std::weak_ptr<TranscriptionChannel>& weakSelf,
                                   const std::shared_ptr<ResultsLink>& link, MainQueue& queue,
                                   const Heard& heard) {
    // The segment goes to the main thread, and the decoder waits until it has been taken
    // without holding the channel, which the main thread may let go meanwhile.
    std::unique_lock lock(link->mutex);
    if (!link->cancelled) {
        const std::uint64_t ticket = ++link->posted;
        lock.unlock();
        queue.post([weakSelf, link, segment = heard.segment] {
            bool cancelled = false;
            {
                const std::lock_guard guard(link->mutex);
                cancelled = link->cancelled;
            }
            if (!cancelled) {
                if (const auto self = weakSelf.lock(); self && self->onSegment) {
                    self->onSegment(segment);
                }
            }
            const std::lock_guard guard(link->mutex);
            ++link->handled;
            link->changed.notify_all();
        });
        lock.lock();
        link->changed.wait(lock, [&] { return link->cancelled || link->handled >= ticket; });
    }
    link->currentId =
        heard.segment.final ? std::nullopt : std::optional<std::string>(heard.segment.id);
    link->lastEnd = std::max(link->lastEnd, heard.end);
}

void TranscriptionChannel::handleFailure(const SpeechError& error) {
    const std::weak_ptr<TranscriptionChannel> weakSelf = weak_from_this();
    const std::string message = speaker_ + "通道识别中断：" + describeSpeechError(error);
    queue_.post([weakSelf, message] {
        if (const auto self = weakSelf.lock(); self && self->onError) {
            self->onError(message);
        }
    });
}

struct TranscriptionChannel::Finishing {
    std::function<void()> done;
    MainQueue::Clock::time_point drainDeadline;
    bool completed = false;

    // Lets the recogniser go and calls `done`, once; main thread.
    void complete(const std::weak_ptr<TranscriptionChannel>& weakSelf) {
        if (std::exchange(completed, true)) {
            return;
        }
        if (const auto self = weakSelf.lock()) {
            // Freeing a decoder takes tens of milliseconds: not on the main thread.
            if (std::shared_ptr<SpeechChannelRecognizer> recognizer = self->release()) {
                Platform::current().background.run(
                    "pagemate-asrend", [recognizer = std::move(recognizer)](
                                           std::stop_token) mutable { recognizer.reset(); });
            }
        }
        if (done) {
            done();
        }
    }
};

void TranscriptionChannel::finish(std::function<void()> done) {
    std::unique_lock lock(input_);
    inputOpen_ = false;
    if (!recognizer_) {
        lock.unlock();
        queue_.post(std::move(done));
        return;
    }
    const double queued = recognizer_->undecodedSeconds();
    const std::chrono::milliseconds drainLimit = std::min(
        drainBase + std::chrono::milliseconds(
                        static_cast<std::int64_t>(std::ceil(queued * drainPerQueuedSecond * 1000))),
        std::chrono::milliseconds(static_cast<std::int64_t>(longestBacklogSeconds * 1000)));
    const auto finishing =
        std::make_shared<Finishing>(Finishing{std::move(done), queue_.now() + drainLimit, false});
    const std::weak_ptr<TranscriptionChannel> weakSelf = weak_from_this();
    MainQueue& queue = queue_;
    const std::string speaker = speaker_;
    recognizer_->finalize([&queue, speaker, weakSelf,
                           finishing](const SpeechChannelRecognizer::FinalizeOutcome& outcome) {
        if (const auto* error = std::get_if<SpeechError>(&outcome)) {
            AppLog::write("转写通道 " + speaker + " 收尾失败：" + describeSpeechError(*error));
        }
        queue.post([weakSelf, finishing] { finishing->complete(weakSelf); });
    });
    lock.unlock();
    watchDrain(finishing);
}

void TranscriptionChannel::watchDrain(const std::shared_ptr<Finishing>& finishing) {
    if (finishing->completed) {
        return;
    }
    const std::weak_ptr<TranscriptionChannel> weakSelf = weak_from_this();
    const double left = backlogSeconds();
    if (left <= 0) {
        // Everything is decoded: the last results have finishWait to come.
        queue_.postAfter(finishWait, [weakSelf, finishing] { finishing->complete(weakSelf); });
        return;
    }
    if (queue_.now() >= finishing->drainDeadline) {
        AppLog::write("本机识别[" + speaker_ + "]：停止后识别仍跟不上，放弃未转写的 " +
                      formatDecimal("%.1f", left) + " 秒音频");
        finishing->complete(weakSelf);
        return;
    }
    queue_.postAfter(drainPoll, [weakSelf, finishing] {
        if (const auto self = weakSelf.lock()) {
            self->watchDrain(finishing);
        } else {
            finishing->complete(weakSelf);
        }
    });
}

std::unique_ptr<SpeechChannelRecognizer> TranscriptionChannel::release() {
    {
        const std::lock_guard lock(link_->mutex);
        link_->cancelled = true;
        link_->changed.notify_all();
    }
    std::unique_ptr<SpeechChannelRecognizer> recognizer;
    {
        const std::lock_guard lock(input_);
        inputOpen_ = false;
        recognizer = std::move(recognizer_);
    }
    return recognizer;
}

}  // namespace pagemate
