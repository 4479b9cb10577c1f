#include "app/SingleInstance.h"

#include "base/AppLog.h"

namespace pagemate {

namespace {

struct ActionOption {
    InstanceAction action;
    std::string_view option;
    std::string_view name;
};

constexpr ActionOption kActionOptions[] = {
    {InstanceAction::activate, "", "打开助手面板"},
    {InstanceAction::quickBar, "--quick-bar", "快速输入条（显示/隐藏）"},
    {InstanceAction::panel, "--panel", "完整助手面板（显示/隐藏）"},
    {InstanceAction::chat, "--chat", "大窗口（显示/隐藏）"},
    {InstanceAction::meeting, "--meeting", "会议记录窗口（显示/隐藏）"},
};

const ActionOption& describe(InstanceAction action) {
    for (const ActionOption& entry : kActionOptions) {
        if (entry.action == action) {
            return entry;
        }
    }
    return kActionOptions[0];
}

// A holder that ends between the claim and the request leaves the name free: the start
// claims it again, a few times at most (each claim that finds it taken asks once more).
constexpr int kClaimAttempts = 3;

}  // namespace

LaunchRequest LaunchRequest::fromArguments(const std::vector<std::string>& arguments,
                                           const LaunchModes& modes) {
    LaunchRequest request;
    // The same reading as start-up's dispatch of the modes: a self-test here is one there.
    request.selfTest = (modes.selfTest && hasArgument(arguments, "--selftest")) ||
                       chooseRunMode(modes.modes, arguments) != nullptr;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        if (arguments[index] == "--") {
            break;
        }
        for (const ActionOption& entry : kActionOptions) {
            if (!entry.option.empty() && arguments[index] == entry.option) {
                request.actions.push_back(entry.action);
            }
        }
    }
    return request;
}

std::string_view actionOption(InstanceAction action) {
    return describe(action).option;
}

std::string_view actionName(InstanceAction action) {
    return describe(action).name;
}

SingleInstance::SingleInstance(InstanceLink& link, LaunchRequest request)
    : link_(link), request_(std::move(request)) {}

SingleInstance::~SingleInstance() {
    link_.setActionHandler({});
}

SingleInstance::Start SingleInstance::start() {
    if (request_.selfTest) {
        return start_ = link_.isHeld(name) ? Start::besideRunning : Start::alone;
    }
    link_.setActionHandler([this](InstanceAction action) { receive({action, Origin::elsewhere}); });
    std::vector<InstanceAction> toSend = request_.actions;
    if (toSend.empty()) {
        toSend.push_back(InstanceAction::activate);
    }
    std::size_t sent = 0;
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        claim_ = link_.claim(name);
        if (claim_.outcome != InstanceLink::Claim::Outcome::taken) {
            // This process runs the program: its own action options wait for start-up.
            for (const InstanceAction action : request_.actions) {
                waiting_.push_back({action, Origin::ownStart});
            }
            return start_ = claim_.outcome == InstanceLink::Claim::Outcome::primary ? Start::primary
                                                                                    : Start::alone;
        }
        while (sent < toSend.size()) {
            delivery_ = link_.send(toSend[sent]);
            if (delivery_.outcome != InstanceLink::Delivery::Outcome::delivered) {
                break;
            }
            ++sent;
        }
        if (sent == toSend.size()) {
            return start_ = Start::handedOver;
        }
        if (delivery_.outcome == InstanceLink::Delivery::Outcome::failed) {
            return start_ = Start::notAnswered;
        }
    }
    return start_ = Start::notAnswered;
}

std::string SingleInstance::endMessage() const {
    std::string names;
    const std::vector<InstanceAction> actions =
        request_.actions.empty() ? std::vector<InstanceAction>{InstanceAction::activate}
                                 : request_.actions;
    for (const InstanceAction action : actions) {
        names += (names.empty() ? "" : "、") + std::string(actionName(action));
    }
    switch (start_) {
        case Start::handedOver:
            return "页伴已在运行，已把请求交给它：" + names;
        case Start::notAnswered:
            return "页伴已在运行，但没有接受请求（" + names + "）：" +
                   (delivery_.detail.empty() ? std::string("没有回应") : delivery_.detail);
        case Start::primary:
        case Start::alone:
        case Start::besideRunning:
            break;
    }
    return {};
}

void SingleInstance::startupFinished(std::function<void(InstanceAction)> perform) {
    if (request_.selfTest) {
        return;
    }
    AppLog::write(startupNote());
    perform_ = std::move(perform);
    while (!waiting_.empty()) {
        const Request request = waiting_.front();
        waiting_.pop_front();
        performNow(request);
    }
}

void SingleInstance::receive(Request request) {
    if (perform_) {
        performNow(request);
    } else {
        waiting_.push_back(request);
    }
}

void SingleInstance::performNow(const Request& request) {
    AppLog::write(std::string(request.origin == Origin::ownStart
                                  ? "单实例：启动参数请求 → "
                                  : "单实例：另一次启动或桌面动作请求 → ") +
                  std::string(actionName(request.action)));
    perform_(request.action);
}

std::string SingleInstance::startupNote() const {
    using Outcome = InstanceLink::Claim::Outcome;
    const std::string tail =
        "），本次按独立实例运行：再次启动会多出一个托盘图标和一组热键，--quick-bar 等动作选项"
        "也到不了这里";
    switch (claim_.outcome) {
        case Outcome::primary:
        case Outcome::taken:
            break;
        case Outcome::noSessionBus:
            return "单实例：无法保证只运行一个页伴（没有 D-Bus 会话总线：" + claim_.detail + tail;
        case Outcome::refused:
            return "单实例：无法保证只运行一个页伴（会话总线不给 " + std::string(name) +
                   " 这个名字：" + claim_.detail + tail;
    }
    return "单实例：已在会话总线上登记为 " + std::string(name) +
           "，再次启动 pagemate 会把请求交给本实例";
}

}  // namespace pagemate
