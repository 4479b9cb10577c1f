#include "platform/UnavailableNotifications.h"

namespace pagemate {

void UnavailableNotifications::notify(const Notification&, Completion completion) {
    if (!completion) {
        return;
    }
    const std::weak_ptr<bool> alive = alive_;
    queue_.post([alive, completion = std::move(completion), detail = detail_] {
        if (alive.lock()) {
            completion(Result{false, detail});
        }
    });
}

}  // namespace pagemate
