#include "web/ServiceResolver.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/AppLog.h"
#include "base/Defaults.h"
#include "base/Settings.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Url.h"

namespace pagemate {

namespace {

using ProbeCompletion = std::function<void(bool ok, const std::string& product)>;

// One GET; (ok, product) reach the completion on the main queue.
void probe(const std::string& address, std::chrono::milliseconds timeout,
           ProbeCompletion completion) {
    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    HttpRequest request;
    request.url = address;
    request.timeout = timeout;
    platform.http->send(std::move(request), [&queue, completion = std::move(completion)](
                                                const HttpResponse& response) mutable {
        const bool ok = !response.error && response.status == 200;
        std::string product = response.body ? healthProduct(*response.body) : std::string();
        queue.post([completion = std::move(completion), ok, product = std::move(product)] {
            completion(ok, product);
        });
    });
}

std::string healthAddress(std::string_view base) {
    return std::string(trimCharacter(base, '/')) + "/health";
}

}  // namespace

struct ServiceResolver::State {
    Config config;
    std::string resolvedServerURL;
    bool usingFallbackServer = false;
};

ServiceResolver::Config ServiceResolver::Config::standard() {
    Config config;
    config.primaryBase = [] { return Settings::shared().serverURL(); };
    config.localBase = std::string(Defaults::serverURL);
    return config;
}

ServiceResolver::ServiceResolver(Config config) : state_(std::make_shared<State>()) {
    state_->resolvedServerURL = config.primaryBase();
    state_->config = std::move(config);
}

const std::string& ServiceResolver::resolvedServerURL() const {
    return state_->resolvedServerURL;
}

bool ServiceResolver::usingFallbackServer() const {
    return state_->usingFallbackServer;
}

void ServiceResolver::resolveServer(std::function<void(const std::string&)> completion) {
    if (const char* environment = std::getenv("PGM_SERVER_URL");
        environment != nullptr && *environment != '\0') {
        const std::string base(trimCharacter(environment, '/'));
        state_->resolvedServerURL = base;
        state_->usingFallbackServer = false;
        AppLog::write("使用环境变量指定的服务：" + base);
        completion(base);
        return;
    }

    std::string primary = state_->config.primaryBase();
    const std::string address = healthAddress(primary);
    if (!isValidURL(address)) {
        AppLog::write("主服务不可用（连不上），尝试本机服务…");
        probeLocal(state_, std::move(primary), std::move(completion));
        return;
    }
    const std::weak_ptr<State> weakState = state_;
    probe(address, state_->config.primaryTimeout,
          [weakState, primary, completion = std::move(completion)](
              bool ok, const std::string& product) mutable {
              const std::shared_ptr<State> state = weakState.lock();
              if (!state) {
                  return;
              }
              if (ok && product == Defaults::product) {
                  state->resolvedServerURL = primary;
                  state->usingFallbackServer = false;
                  Settings::shared().setRuntimeBaseURL(primary);
                  completion(primary);
                  return;
              }
              const std::string reason = !ok ? std::string("连不上")
                                             : "对面是别的服务（product=" +
                                                   (product.empty() ? std::string("空") : product) +
                                                   "）";
              AppLog::write("主服务不可用（" + reason + "），尝试本机服务…");
              probeLocal(state, std::move(primary), std::move(completion));
          });
}

void ServiceResolver::probeLocal(const std::shared_ptr<State>& state, std::string primary,
                                 std::function<void(const std::string&)> completion) {
    const std::string local = state->config.localBase;
    probe(local + "/health", state->config.localTimeout,
          [state, local, primary = std::move(primary), completion = std::move(completion)](
              bool ok, const std::string&) {
              if (ok) {
                  state->resolvedServerURL = local;
                  state->usingFallbackServer = true;
                  Settings::shared().setRuntimeBaseURL(local);
                  AppLog::write("已回退到本机服务 " + local);
              } else {
                  state->resolvedServerURL = primary;
                  state->usingFallbackServer = false;
                  Settings::shared().setRuntimeBaseURL(primary);
                  AppLog::write("本机也没有服务，仍使用 " + primary);
              }
              completion(state->resolvedServerURL);
          });
}

void ServiceResolver::checkHealth(std::function<void(bool)> completion) {
    const std::string address = healthAddress(state_->resolvedServerURL);
    if (!isValidURL(address)) {
        if (completion) {
            completion(false);
        }
        return;
    }
    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    HttpRequest request;
    request.url = address;
    request.timeout = state_->config.healthTimeout;
    platform.http->send(std::move(request), [&queue, completion = std::move(completion)](
                                                const HttpResponse& response) mutable {
        const bool healthy = response.status == 200 && response.body.has_value();
        queue.post([completion = std::move(completion), healthy] {
            if (completion) {
                completion(healthy);
            }
        });
    });
}

std::string healthProduct(std::string_view body) {
    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (!parsed.is_object()) {
        return "";
    }
    const auto product = parsed.find("product");
    return product != parsed.end() && product->is_string() ? product->get<std::string>() : "";
}

std::string baseURL() {
    const Settings& settings = Settings::shared();
    const std::string base =
        settings.runtimeBaseURL().empty() ? settings.serverURL() : settings.runtimeBaseURL();
    return std::string(trimCharacter(base, '/'));
}

}  // namespace pagemate
