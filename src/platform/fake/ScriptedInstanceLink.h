#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/InstanceLink.h"

namespace pagemate::fake {

// An instance link that answers claims and requests as the test scripted (by default:
// the name is free, every request is delivered) and records them; the test delivers
// requests from other starts with arrive(), as the bus would call the handler.
class ScriptedInstanceLink final : public InstanceLink {
  public:
    void setActionHandler(ActionHandler newHandler) override { handler = std::move(newHandler); }

    Claim claim(std::string_view name) override {
        claimedNames.emplace_back(name);
        if (claims.empty()) {
            return {Claim::Outcome::primary, {}};
        }
        Claim next = claims.front();
        claims.pop_front();
        return next;
    }

    bool isHeld(std::string_view name) override {
        askedNames.emplace_back(name);
        return held;
    }

    Delivery send(InstanceAction action) override {
        sent.push_back(action);
        if (deliveries.empty()) {
            return {Delivery::Outcome::delivered, {}};
        }
        Delivery next = deliveries.front();
        deliveries.pop_front();
        return next;
    }

    // A request from elsewhere reaching this process.
    void arrive(InstanceAction action) const {
        if (handler) {
            handler(action);
        }
    }

    // The answers of the next claims and requests, in order.
    std::deque<Claim> claims;
    std::deque<Delivery> deliveries;
    std::vector<std::string> claimedNames;
    // What isHeld() answers, and the names it was asked about.
    bool held = false;
    std::vector<std::string> askedNames;
    std::vector<InstanceAction> sent;
    ActionHandler handler;
};

}  // namespace pagemate::fake
