#include "platform/fake/ScriptedHttpClient.h"

namespace pagemate::fake {

ScriptedHttpClient::ScriptedHttpClient() : worker_([this] { run(); }) {}

ScriptedHttpClient::~ScriptedHttpClient() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

HttpResponse ScriptedHttpClient::refused() {
    return HttpResponse{std::nullopt, std::nullopt,
                        NetworkError{NetworkError::Kind::cannotConnect, "Connection refused"}};
}

HttpClient::RequestId ScriptedHttpClient::send(HttpRequest request, Completion completion) {
    RequestId id = 0;
    {
        const std::lock_guard lock(mutex_);
        id = nextId_++;
        requests_.push_back(request);
        queue_.push_back(Pending{id, std::move(request), std::move(completion)});
    }
    wake_.notify_all();
    return id;
}

void ScriptedHttpClient::cancel(RequestId id) {
    const std::lock_guard delivering(delivering_);
    const std::lock_guard lock(mutex_);
    cancelled_.insert(id);
}

void ScriptedHttpClient::respondWith(Responder responder) {
    const std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<HttpRequest> ScriptedHttpClient::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedHttpClient::run() {
    for (;;) {
        Pending next;
        Responder responder;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            next = std::move(queue_.front());
            queue_.pop_front();
            responder = responder_;
        }
        HttpResponse response = responder ? responder(next.request) : refused();
        const std::lock_guard delivering(delivering_);
        {
            const std::lock_guard lock(mutex_);
            if (stopping_ || cancelled_.contains(next.id)) {
                continue;
            }
        }
        if (next.completion) {
            next.completion(std::move(response));
        }
    }
}

}  // namespace pagemate::fake
