#pragma once

#include <string_view>

namespace pagemate {

// The desktop around the program: applications and the handlers that open addresses.
class Workspace {
  public:
    virtual ~Workspace() = default;
    // Opens an address with the desktop's default handler for its scheme.
    virtual bool openURL(std::string_view url) = 0;
};

}  // namespace pagemate
