#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SerialQueue.h"
#include "platform/WindowSystem.h"
#include "web/PageSample.h"
#include "web/PageWindow.h"

namespace pagemate {

class AudioCapture;
class MeetingRecorder;
class MeetingSession;

// The meeting window: hosts the service's "/meeting" page and, at its request, runs a
// meeting: microphone and system-audio capture, the local transcription and, when the
// user keeps recordings, the recorder. Segments and levels go to the page while it
// runs; at the end the recording is saved, uploaded and its id handed to the page.
//
// Main thread only. Starting and stopping are chains of steps: every step that waits
// (the session's start and finish, the capture's blocking start and stop on the
// controller's serial queue "pagemate-meeting", the recorder's finish, the upload)
// runs off the main thread and continues on the main queue, so page messages can
// arrive between the steps. Hiding the window never stops a meeting.
class MeetingController : public std::enable_shared_from_this<MeetingController> {
  public:
    static constexpr double initialWidth = 600;
    static constexpr double initialHeight = 640;
    static constexpr double minWidth = 480;
    static constexpr double minHeight = 400;
    static constexpr std::string_view microphoneMessage =
        "需要「麦克风」权限才能录到你的声音：请确认声音服务器（PulseAudio 或 PipeWire）"
        "正在运行且有可用的输入设备，然后重新开始记录。";

    // Held by a shared pointer, so that callbacks and delayed steps can hold it weakly.
    static std::shared_ptr<MeetingController> create() {
        return std::make_shared<MeetingController>();
    }
    MeetingController();
    MeetingController(const MeetingController&) = delete;
    MeetingController& operator=(const MeetingController&) = delete;
    ~MeetingController() = default;

    void toggle();
    // A fresh bootstrap, the page on the first call only, centred and in front.
    void show();
    void hide();
    // The self-test: the report arrives once, within about 10 s.
    void runWebSelfTest(std::function<void(nlohmann::json)> completion);

    std::function<void(const std::string&)> onStatusChange;

    // "idle", "starting", "recording" or "stopping".
    [[nodiscard]] const std::string& state() const { return state_; }
    [[nodiscard]] PanelWindow& window() const { return page_.window(); }

    void handleMessage(const nlohmann::json& body) { page_.handleMessage(body); }

  private:
    struct Meeting;

    void startRecording();
    void afterChecks(bool modelInstalled, int microphone);
    void beginStart();
    void startCapture(const std::shared_ptr<Meeting>& meeting);
    void startFailed(const std::shared_ptr<Meeting>& meeting, const std::string& description);
    void startSucceeded(const std::shared_ptr<Meeting>& meeting);
    void stopRecording();
    void runStop(const std::shared_ptr<Meeting>& meeting);
    void finishMeeting(const std::shared_ptr<Meeting>& meeting);
    void finishRecorder(const std::shared_ptr<Meeting>& meeting);
    void endingDone(const std::shared_ptr<Meeting>& meeting);
    void endMeeting();

    void setState(std::string state);
    void pushState();
    void fail(const std::string& message);
    void sendBridge(std::string_view function, const nlohmann::json& payload);
    void audioReady(const nlohmann::json& answer);
    void status(const std::string& text);

    void injectBootstrap();
    void centre();
    void resize(double height);
    void openURL(const std::string& url);
    void pageFinished();

    PageWindow page_;
    std::string state_ = "idle";
    std::optional<std::chrono::system_clock::time_point> startedAt_;
    // The running meeting, once its start has come through.
    std::shared_ptr<Meeting> meeting_;
    // The capability checks are under way (the state is still "idle").
    bool checking_ = false;
    // A "stop" came while checking or starting: the checks start nothing, the start,
    // when it completes, ends the meeting.
    bool stopPending_ = false;
    PageSelfTest selfTest_;
    // The capture's blocking start and stop, and the capability checks.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace pagemate
