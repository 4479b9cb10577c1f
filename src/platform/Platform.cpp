#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace pagemate {

namespace {
std::unique_ptr<Platform>& installed() {
    static std::unique_ptr<Platform> platform;
    return platform;
}
}  // namespace

void Platform::install(std::unique_ptr<Platform> platform) {
    uninstall();
    installed() = std::move(platform);
}

void Platform::uninstall() {
    std::unique_ptr<Platform>& platform = installed();
    if (!platform) {
        return;
    }
    platform->background.stop();
    if (platform->mainQueue) {
        platform->mainQueue->close();
    }
    platform.reset();
}

Platform& Platform::current() {
    auto& platform = installed();
    if (!platform) {
        // A programming error: nothing can run without its platform.
        (void)std::fputs("pagemate: no platform installed\n", stderr);
        std::abort();
    }
    return *platform;
}

}  // namespace pagemate
