#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/HotKeys.h"

namespace pagemate::fake {

// Hot keys that record what the core asks for and answer as the test scripted; the
// test presses combinations by identifier, as the platform's handler would be called.
class RecordingHotKeys final : public HotKeys {
  public:
    struct Call {
        std::string what;  // "setPressHandler" or "registerHotKey"
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
        HotKeyIdentifier identifier;
    };

    [[nodiscard]] Availability availability() const override { return state; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail; }
    void setPressHandler(PressHandler newHandler) override {
        handler = std::move(newHandler);
        calls.push_back(Call{"setPressHandler", 0, 0, {}});
    }
    HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                      HotKeyIdentifier identifier) override {
        calls.push_back(Call{"registerHotKey", keyCode, modifiers, identifier});
        const auto scripted = failures.find({keyCode, modifiers});
        if (scripted != failures.end()) {
            return scripted->second;
        }
        HotKeyRegistration registration;
        registration.ref = HotKeyRef{keyCode, modifiers, identifier};
        return registration;
    }

    // Makes registrations of the combination fail so.
    void fail(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyRegistration::Outcome outcome,
              std::int32_t status, std::string why = {}) {
        HotKeyRegistration registration;
        registration.outcome = outcome;
        registration.status = status;
        registration.detail = std::move(why);
        failures[{keyCode, modifiers}] = registration;
    }
    // What the platform does on a press: calls the handler with the identifier.
    void press(HotKeyIdentifier identifier) const {
        if (handler) {
            handler(identifier);
        }
    }
    [[nodiscard]] int handlerInstalls() const {
        int count = 0;
        for (const Call& call : calls) {
            count += call.what == "setPressHandler" ? 1 : 0;
        }
        return count;
    }

    Availability state = Availability::available;
    std::string detail;
    PressHandler handler;
    std::vector<Call> calls;
    std::map<std::pair<std::uint32_t, std::uint32_t>, HotKeyRegistration> failures;
};

}  // namespace pagemate::fake
