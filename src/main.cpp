// Process entry: picks the Linux backends, hands them to the application delegate and
// runs the main loop until the program is told to quit.

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "app/WaylandSession.h"
#include "base/AppLog.h"
#include "platform/linux/GioInstanceLink.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: pagemate [OPTION]...\n"
    "Pagemate, a desktop companion for Notion: lives in the status area and brings\n"
    "the assistant's pages next to Notion.\n"
    "\n"
    "      --quick-bar  show or hide the quick bar\n"
    "      --panel      show or hide the assistant panel\n"
    "      --chat       show or hide the large chat window\n"
    "      --meeting    show or hide the meeting window\n"
    "      --help       display this help and exit\n"
    "      --version    output version information and exit\n"
    "\n"
    "One Pagemate runs per session: a second start hands its options to the running\n"
    "one (without any, it shows the assistant panel) and exits. Desktop shortcuts can\n"
    "call the options, or `gapplication action com.fernwick.pagemate meeting`.\n"
    "\n"
    "Environment:\n"
    "  PGM_SERVER_URL  the assistant service to use instead of http://127.0.0.1:4310\n"
    "\n"
    "The log of the current run is /tmp/pagemate-app.log.\n";

// Start-up frees much of what the toolkits and the web views allocate while they set
// up; glibc keeps that heap mapped unless asked. Handed back once start-up has settled,
// the idle program in the tray stays small.
constexpr std::chrono::seconds kStartupSettles{3};
void returnFreedStartupHeap() {
    (void)malloc_trim(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    // GNU conventions: these two answer on standard output and exit before anything runs.
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        if (arguments[index] == "--") {
            break;
        }
        if (arguments[index] == "--help") {
            (void)std::fputs(kUsage.data(), stdout);
            return 0;
        }
        if (arguments[index] == "--version") {
            std::printf("pagemate %s\n", PAGEMATE_VERSION);
            return 0;
        }
    }

    // Before anything is built: a start that finds the program running hands its request
    // over and ends, with no second tray icon and no second set of hot-key grabs.
    const pagemate::LaunchRequest request = pagemate::LaunchRequest::fromArguments(arguments);
    pagemate::linux_backend::GioInstanceLink link;
    pagemate::SingleInstance instance(link, request);
    const pagemate::SingleInstance::Start start = instance.start();
    switch (start) {
        case pagemate::SingleInstance::Start::handedOver:
            (void)std::fprintf(stderr, "%s\n", instance.endMessage().c_str());
            return 0;
        case pagemate::SingleInstance::Start::notAnswered:
            (void)std::fprintf(stderr, "%s\n", instance.endMessage().c_str());
            return 1;
        case pagemate::SingleInstance::Start::besideRunning:
            // The log file is the running instance's.
            pagemate::AppLog::keepToStandardError();
            break;
        case pagemate::SingleInstance::Start::primary:
        case pagemate::SingleInstance::Start::alone:
            break;
    }

    // Without a display the program still runs its loop: the service, the log and the
    // self-tests do not need one.
    int toolkitArgc = argc;
    char** toolkitArgv = argv;
    const pagemate::DesktopSession session = pagemate::DesktopSession::fromEnvironment();
    const pagemate::linux_backend::OpenedDisplay display =
        pagemate::linux_backend::openDisplay(toolkitArgc, toolkitArgv, session);
    const bool hasDisplay = display != pagemate::linux_backend::OpenedDisplay::none;

    pagemate::Platform::install(pagemate::linux_backend::makeLinuxPlatform(hasDisplay, session));
    auto delegate = pagemate::AppDelegate::create(std::move(arguments));
    delegate->besideRunningInstance = start == pagemate::SingleInstance::Start::besideRunning;

    pagemate::linux_backend::onTerminationSignal([] {
        pagemate::AppLog::write("收到结束信号，退出");
        pagemate::Platform::current().application->terminate();
    });

    pagemate::Platform& platform = pagemate::Platform::current();
    const pagemate::WaylandSession::Outcome waylandOutcome{
        display == pagemate::linux_backend::OpenedDisplay::x11,
        session.wayland &&
            platform.hotKeys->availability() == pagemate::HotKeys::Availability::available};
    platform.mainQueue->post([delegate, &instance, &session, waylandOutcome,
                              selfTest = request.selfTest] {
        delegate->applicationDidFinishLaunching();
        if (selfTest) {
            return;
        }
        pagemate::WaylandSession::logNote(session, waylandOutcome);
        pagemate::Platform::current().mainQueue->postAfter(kStartupSettles, returnFreedStartupHeap);
        const std::weak_ptr<pagemate::AppDelegate> weakDelegate = delegate;
        instance.startupFinished([weakDelegate](pagemate::InstanceAction action) {
            if (const auto alive = weakDelegate.lock()) {
                alive->performAction(action);
            }
        });
    });
    platform.application->run();
    const int status = platform.application->exitStatus();
    // The windows, and a meeting's recognisers and queues, end while the platform they
    // post to is still there.
    delegate.reset();
    pagemate::Platform::uninstall();
    return status;
}
