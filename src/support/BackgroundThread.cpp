#include "support/BackgroundThread.h"

#include <pthread.h>

#include <thread>
#include <utility>

namespace pagemate {

void runInBackground(std::string name, std::function<void()> work) {
    std::thread([name = std::move(name), work = std::move(work)] {
        (void)pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        work();
    }).detach();
}

}  // namespace pagemate
