#pragma once

namespace pagemate {

// The application object: the run loop's owner.
class Application {
public:
    virtual ~Application() = default;
    // Ends the program: the run loop stops and the process exits normally.
    virtual void terminate() = 0;
};

}  // namespace pagemate
