#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/RunModes.h"
#include "platform/InstanceLink.h"

namespace pagemate {

// What one start of the program asks for, read from its arguments.
struct LaunchRequest {
    // A self-test switch (a mode of `modes`, or --selftest): the start runs in a process
    // of its own and never meets the running instance.
    bool selfTest = false;
    // The action options (--quick-bar, --panel, --chat, --meeting) in the order given;
    // empty when there is none.
    std::vector<InstanceAction> actions;

    // Options after "--" are not read.
    static LaunchRequest fromArguments(const std::vector<std::string>& arguments,
                                       const LaunchModes& modes = LaunchModes::standard());
};

// The option of an action ("--meeting"), and its Chinese name for the log.
std::string_view actionOption(InstanceAction action);
std::string_view actionName(InstanceAction action);

// One instance per user session. A start claims the program's name through the link
// before anything else is built; when another process holds it, the start hands its
// request (its action options, else "show the panel") to that one and ends. The
// instance that holds the name takes the requests of later starts: those that come
// while its own start-up still runs wait, with its own action options, until
// startupFinished(); later ones are performed as they come.
//
// Main thread only; lives from the start of main() to its end, after the link.
class SingleInstance {
  public:
    static constexpr std::string_view name = "com.fernwick.pagemate";

    enum class Start {
        primary,  // this process holds the name: it runs the program
        alone,    // no name to hold (no session bus, or a self-test): it runs alone
        // A self-test while another process holds the name: it runs alone and leaves the
        // running program's log, tray item and hot keys to it.
        besideRunning,
        handedOver,   // the running instance took the request: this process ends with 0
        notAnswered,  // the running instance did not take it: this process ends with 1
    };

    SingleInstance(InstanceLink& link, LaunchRequest request);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    ~SingleInstance();

    // Claims the name (a self-test start only asks whether it is held) and, when it is
    // taken, hands the request over. Called once.
    Start start();

    // What the start said to the user when it ended at once (handedOver, notAnswered):
    // the line for standard error. The log file belongs to the running instance.
    [[nodiscard]] std::string endMessage() const;

    // Once start-up has built the windows: logs whether this is the one instance (and why
    // not), then performs the waiting requests in the order they came, later ones at
    // once, each through `perform`. Not for a self-test start.
    void startupFinished(std::function<void(InstanceAction)> perform);

  private:
    enum class Origin { ownStart, elsewhere };
    struct Request {
        InstanceAction action;
        Origin origin;
    };

    void receive(Request request);
    void performNow(const Request& request);
    [[nodiscard]] std::string startupNote() const;

    InstanceLink& link_;
    LaunchRequest request_;
    Start start_ = Start::alone;
    InstanceLink::Claim claim_;
    InstanceLink::Delivery delivery_;
    std::deque<Request> waiting_;
    // Empty until start-up has finished.
    std::function<void(InstanceAction)> perform_;
};

}  // namespace pagemate
