// Process entry: picks the Linux backends, hands them to the application delegate and
// runs the main loop until the program is told to quit.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppDelegate.h"
#include "app/AppLog.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: pagemate [OPTION]...\n"
    "Pagemate, a desktop companion for Notion: lives in the status area and brings\n"
    "the assistant's pages next to Notion.\n"
    "\n"
    "      --help      display this help and exit\n"
    "      --version   output version information and exit\n"
    "\n"
    "Environment:\n"
    "  PGM_SERVER_URL  the assistant service to use instead of http://127.0.0.1:4310\n"
    "\n"
    "The log of the current run is /tmp/pagemate-app.log.\n";

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

    // Without a display the program still runs its loop: the service, the log and the
    // self-tests do not need one.
    int toolkitArgc = argc;
    char** toolkitArgv = argv;
    const bool hasDisplay = pagemate::linux_backend::openDisplay(toolkitArgc, toolkitArgv);

    pagemate::Platform::install(pagemate::linux_backend::makeLinuxPlatform(hasDisplay));
    auto delegate = pagemate::AppDelegate::create(std::move(arguments));

    pagemate::linux_backend::onTerminationSignal([] {
        pagemate::AppLog::write("收到结束信号，退出");
        pagemate::Platform::current().application->terminate();
    });

    pagemate::Platform& platform = pagemate::Platform::current();
    platform.mainQueue->post([delegate] { delegate->applicationDidFinishLaunching(); });
    platform.application->run();
    // The windows, and a meeting's recognisers and queues, end while the platform they
    // post to is still there.
    delegate.reset();
    pagemate::Platform::uninstall();
    return 0;
}
