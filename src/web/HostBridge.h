#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notion/NotionContext.h"

namespace pagemate::HostBridge {

// The script-message handler every hosting web view registers.
inline constexpr std::string_view handlerName = "pagemate";
inline constexpr std::string_view panelBridge = "PGM_HOST_BRIDGE";
inline constexpr std::string_view quickBridge = "PGM_QUICK_BRIDGE";
inline constexpr std::string_view meetingBridge = "PGM_MEETING_BRIDGE";

// Which window's copy of a script: they differ only in details the pages cannot see.
enum class Host { panel, quickBar, meeting };

// Defines window.PGM_HOST, whose post() forwards to the handler and swallows failures.
std::string hostObjectScript(Host host);
// Defines window.__PGM_ERRORS and fills it from error events, in the host's form.
std::string errorCaptureScript(Host host);
// "window.__PGM_BOOTSTRAP__ = <compact JSON>;"; empty when the object cannot be
// serialised.
std::string bootstrapScript(const nlohmann::json& bootstrap);
// The document-start scripts of a quick bar's or meeting window's page: the host
// object, the error capture and, when given and it serialises, the bootstrap. Text
// that cannot be serialised leaves the page without a bootstrap rather than with an
// earlier one.
std::vector<std::string> pageScripts(Host host,
                                     const std::optional<nlohmann::json>& bootstrap = {});

struct PanelBootstrap {
    std::string serverUrl;
    std::string password;
    std::string model;
    std::string mode;
    bool accessibilityTrusted = false;
    bool archiveConversations = true;
};
nlohmann::json panelBootstrapObject(const PanelBootstrap& values);

struct QuickBarBootstrap {
    std::string serverUrl;
    std::string password;
    std::string model;
    std::string selection;
    std::string pageId;
    std::string pageTitle;
    std::string pageUrl;
    std::string appName;
};
nlohmann::json quickBarBootstrapObject(const QuickBarBootstrap& values);
// The quick bar's context: the bootstrap's selection and page, without the address.
nlohmann::json quickBarContextObject(const QuickBarBootstrap& values);

// The meeting window knows no page: its title and page members are always empty.
struct MeetingBootstrap {
    std::string serverUrl;
    std::string password;
    std::string model;
};
nlohmann::json meetingBootstrapObject(const MeetingBootstrap& values);

// "window.B && window.B.F && window.B.F(J);" with J the compact JSON of `argument`;
// nullopt when the argument cannot be serialised (the call is then skipped).
std::optional<std::string> guardedCall(std::string_view bridge, std::string_view function,
                                       const nlohmann::json& argument);
nlohmann::json contextObject(const NotionContext& context);

// Puts `draft` into "#composer" (else the first textarea) and returns whether it could.
std::string composerFillScript(std::string_view draft);

// A page's message, once it is an object with a string "action".
class Message {
  public:
    static std::optional<Message> accept(const nlohmann::json& body);

    [[nodiscard]] const std::string& action() const { return action_; }
    // A member that should be a string: "" when missing or of another type.
    [[nodiscard]] std::string string(const char* member) const;
    // "height": 0 when missing or not a number.
    [[nodiscard]] double height() const;
    // "draft": a string, or an object whose "draft" is a string; else "".
    [[nodiscard]] std::string draft() const;

  private:
    Message(std::string action, nlohmann::json body)
        : action_(std::move(action)), body_(std::move(body)) {}
    std::string action_;
    nlohmann::json body_;
};

}  // namespace pagemate::HostBridge
