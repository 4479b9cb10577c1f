#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "meeting/MeetingRun.h"
#include "platform/WindowSystem.h"
#include "web/PageSample.h"
#include "web/PageWindow.h"

namespace pagemate {

// The meeting window: hosts the service's "/meeting" page and, at its request, starts
// and stops its MeetingRun. What the run tells goes to the page: its state, segments,
// levels, errors and, at the end, the uploaded recording's id.
//
// Main thread only. Hiding the window never stops a meeting.
class MeetingController : public std::enable_shared_from_this<MeetingController> {
  public:
    static constexpr double initialWidth = 600;
    static constexpr double initialHeight = 640;
    static constexpr double minWidth = 480;
    static constexpr double minHeight = 400;

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

    [[nodiscard]] MeetingState state() const { return run_->state(); }
    [[nodiscard]] PanelWindow& window() const { return page_.window(); }

    void handleMessage(const nlohmann::json& body) { page_.handleMessage(body); }

  private:
    void pushState();
    void fail(const std::string& message);
    void sendBridge(std::string_view function, const nlohmann::json& payload);
    void audioReady(const std::optional<MeetingRecorder::UploadAnswer>& answer);
    void status(const std::string& text);

    void injectBootstrap();
    void centre();
    void resize(double height);
    void openURL(const std::string& url);
    void pageFinished();

    PageWindow page_;
    PageSelfTest selfTest_;
    std::shared_ptr<MeetingRun> run_;
};

}  // namespace pagemate
