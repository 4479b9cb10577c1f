#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pagemate {

// What one start of the program can ask of the instance already running.
enum class InstanceAction {
    activate,  // a start without an action option: show the assistant panel
    quickBar,  // --quick-bar
    panel,     // --panel
    chat,      // --chat
    meeting,   // --meeting
};

// The program's one instance per user session: a unique name on the session's message
// bus, held by the running instance, which takes the requests of later starts (and of
// the desktop: `gapplication action <name> meeting`) as actions.
//
// Main thread only. The action handler is called on the main thread from the main loop,
// never inside a call the core made, and never after this object is gone; requests
// that arrive before the loop runs wait in the bus connection until it does. Set the
// handler before claim(): a request may follow as soon as the name is held.
//
// Backends: the D-Bus session bus through GIO (GApplication's interfaces on the
// name's object path, so desktop launchers reach it); a test double.
class InstanceLink {
  public:
    // What claiming the name gave.
    struct Claim {
        enum class Outcome {
            primary,       // this process holds the name now, for as long as it runs
            taken,         // another process holds it: send() reaches that one
            noSessionBus,  // there is no session bus to hold it on
            refused,       // the bus did not let this process have the name
        };
        Outcome outcome = Outcome::noSessionBus;
        // The platform's words for why there is no name to hold; empty otherwise.
        std::string detail;
    };

    // What sending a request to the name's holder gave.
    struct Delivery {
        enum class Outcome {
            delivered,  // the holder took it (it acts on it once its start-up is done)
            ownerGone,  // the holder ended before it answered: the name may be free now
            failed,     // it did not answer in time, or refused the request
        };
        Outcome outcome = Outcome::failed;
        std::string detail;  // the platform's words when not delivered
    };

    using ActionHandler = std::function<void(InstanceAction)>;

    virtual ~InstanceLink() = default;

    // Installs the handler of every request; a later call replaces it.
    virtual void setActionHandler(ActionHandler handler) = 0;

    // Tries to hold `name`. May be called again after `taken` (the holder may have
    // ended meanwhile); after `primary` the name is held until this object goes or the
    // process ends, whichever comes first, even when it is killed.
    virtual Claim claim(std::string_view name) = 0;

    // Whether some process holds `name` now, asked without claiming it (a self-test run
    // beside the running program); false when there is no session bus to ask.
    virtual bool isHeld(std::string_view name) = 0;

    // After claim() answered `taken`: asks the holder to perform `action` and waits for
    // its answer (blocking, without running the main loop).
    virtual Delivery send(InstanceAction action) = 0;
};

}  // namespace pagemate
