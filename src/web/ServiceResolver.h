#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pagemate {

// Chooses the assistant service for this run and checks its health. A candidate
// counts only when its "/health" answers 200; the primary must also report our
// product, so that another program on the same port is not taken for ours. An
// address from the environment is used without a check.
//
// Results arrive on the main queue. Continuations hold the resolver's state weakly
// until the primary has answered, so a resolver destroyed meanwhile calls nothing.
class ServiceResolver {
  public:
    struct Config {
        // The primary candidate: the address the settings report.
        std::function<std::string()> primaryBase;
        // The local service tried when the primary is rejected.
        std::string localBase;
        std::chrono::milliseconds primaryTimeout{std::chrono::seconds(6)};
        std::chrono::milliseconds localTimeout{std::chrono::seconds(2)};
        std::chrono::milliseconds healthTimeout{std::chrono::seconds(4)};

        static Config standard();
    };

    explicit ServiceResolver(Config config = Config::standard());

    // Settles the base and reports it; on the environment path before returning.
    void resolveServer(std::function<void(const std::string&)> completion);
    // Status 200 with a body from the resolved base's "/health".
    void checkHealth(std::function<void(bool)> completion = {});

    [[nodiscard]] const std::string& resolvedServerURL() const;
    [[nodiscard]] bool usingFallbackServer() const;

  private:
    struct State;
    static void probeLocal(const std::shared_ptr<State>& state, std::string primary,
                           std::function<void(const std::string&)> completion);

    std::shared_ptr<State> state_;
};

// The product a "/health" answer names: its string member "product", else "" (also
// for a body that is no JSON object).
std::string healthProduct(std::string_view body);

// The base every other window and command uses: the resolved address when service
// resolution has settled on one, else the configured one, without "/" at either end.
std::string baseURL();

}  // namespace pagemate
