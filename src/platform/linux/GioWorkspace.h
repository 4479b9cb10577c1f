#pragma once

#include "platform/Workspace.h"

namespace pagemate::linux_backend {

// Opens addresses with the handler the desktop has registered for their scheme.
class GioWorkspace final : public Workspace {
  public:
    bool openURL(std::string_view url) override;
};

}  // namespace pagemate::linux_backend
