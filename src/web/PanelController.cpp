#include "web/PanelController.h"

namespace pagemate {

void PanelController::refreshBootstrap() {
    const std::weak_ptr<PanelController> weakSelf = weak_from_this();
    resolveServer([weakSelf](const std::string&) {
        if (const auto self = weakSelf.lock()) {
            self->injectAndLoad();
        }
    });
}

}  // namespace pagemate
