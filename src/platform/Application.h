#pragma once

namespace pagemate {

// The application object: the run loop's owner. Main thread only.
class Application {
  public:
    virtual ~Application() = default;
    // Runs the main loop on the calling (main) thread until terminate().
    virtual void run() = 0;
    // Ends the program: the run loop stops and the process exits normally.
    virtual void terminate() = 0;

    // Marks the run as failed: whenever it ends, the process exits with status 1.
    void markFailed() { failed_ = true; }
    [[nodiscard]] int exitStatus() const { return failed_ ? 1 : 0; }

  private:
    bool failed_ = false;
};

}  // namespace pagemate
