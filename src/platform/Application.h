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
};

}  // namespace pagemate
