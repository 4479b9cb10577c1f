#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/SoundServer.h"
#include "platform/linux/PulseHandles.h"

namespace pagemate::linux_backend {

// One connection to the sound server: a threaded main loop (its thread is named
// "pagemate-pulse" and runs every callback of the connection's streams, with the loop's
// lock held) and a context on it. Shared by a device handle and the streams it made;
// whichever goes last closes it.
class PulseConnection {
  public:
    // How long a step may wait for the server.
    static constexpr std::chrono::milliseconds stepTimeout{5000};

    static std::variant<std::shared_ptr<PulseConnection>, SoundServerError> open();

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;
    ~PulseConnection();

    [[nodiscard]] pa_context* context() const { return context_.get(); }

    // Waits for the threads that stop and free the loops let go on their own thread
    // (named "pagemate-pa-end"); the sound server calls it as it goes.
    static void joinClosingLoops();
    [[nodiscard]] bool inLoopThread() const;

    // The loop's lock; taken only off the loop thread (its callbacks hold it already).
    class Lock {
      public:
        explicit Lock(const PulseConnection& connection);
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock();

      private:
        pa_threaded_mainloop* loop_ = nullptr;
    };

    // With the lock held: waits until `done` holds, woken by signal(); false when the
    // time-out came first.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = stepTimeout);
    // Wakes waitUntil(); from callbacks on the loop thread.
    void signal();

    struct Source {
        std::string name;
        pa_sample_spec spec{};
        pa_channel_map map{};
        bool isMonitor = false;
    };
    // With the lock held. The server's default sink and source names.
    std::variant<std::pair<std::string, std::string>, SoundServerError> defaults();
    std::variant<Source, SoundServerError> source(const std::string& name);
    // The monitor source of a sink.
    std::variant<std::string, SoundServerError> sinkMonitor(const std::string& sink);

  private:
    struct Loop;
    PulseConnection();
    // With the lock held: runs the operation to its end; an error on failure.
    std::optional<SoundServerError> await(PaOperationPtr operation);

    std::unique_ptr<Loop> loop_;
    PaContextPtr context_;
};

}  // namespace pagemate::linux_backend
