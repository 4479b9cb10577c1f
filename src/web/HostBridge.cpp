#include "web/HostBridge.h"

#include "support/Utf8.h"

namespace pagemate::HostBridge {

namespace {

std::optional<std::string> compact(const nlohmann::json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // text that is not UTF-8
    }
}

}  // namespace

std::string hostObjectScript(Host host) {
    const std::string_view onFailure = host == Host::panel ? " /* 宿主不可用 */ " : "";
    std::string script =
        "window.PGM_HOST = {\n"
        "  available: true,\n"
        "  platform: \"mac\",\n"
        "  post: function (message) {\n"
        "    try {\n"
        "      window.webkit.messageHandlers.pagemate.postMessage("
        "message === undefined ? {} : message);\n"
        "    } catch (e) {";
    script += onFailure;
    script += "}\n  }\n};\n";
    return script;
}

std::string errorCaptureScript(Host host) {
    switch (host) {
        case Host::panel:
            return "window.__PGM_ERRORS = [];\n"
                   "window.addEventListener(\"error\", function (e) {\n"
                   "  window.__PGM_ERRORS.push(String(e.message || e.error || \"unknown\") + "
                   "\" @ \" + (e.filename || \"\") + \":\" + (e.lineno || 0));\n"
                   "});\n"
                   "window.addEventListener(\"unhandledrejection\", function (e) {\n"
                   "  var reason = e.reason;\n"
                   "  window.__PGM_ERRORS.push(\"unhandledrejection: \" + "
                   "String((reason && reason.message) || reason || \"\"));\n"
                   "});\n";
        case Host::quickBar:
            return "window.__PGM_ERRORS = [];\n"
                   "window.addEventListener(\"error\", function (e) {\n"
                   "  window.__PGM_ERRORS.push((e.message || \"\") + \" @ \" + "
                   "(e.filename || \"\") + \":\" + (e.lineno || 0));\n"
                   "});\n";
        case Host::meeting:
            return "window.__PGM_ERRORS = [];\n"
                   "window.addEventListener(\"error\", function (e) {\n"
                   "  window.__PGM_ERRORS.push(e.message || \"\");\n"
                   "});\n";
    }
    return {};
}

std::string bootstrapScript(const nlohmann::json& bootstrap) {
    const std::optional<std::string> json = compact(bootstrap);
    return json ? "window.__PGM_BOOTSTRAP__ = " + *json + ";" : std::string();
}

std::vector<std::string> pageScripts(Host host, const std::optional<nlohmann::json>& bootstrap) {
    std::vector<std::string> scripts = {hostObjectScript(host), errorCaptureScript(host)};
    if (bootstrap) {
        if (std::string script = bootstrapScript(*bootstrap); !script.empty()) {
            scripts.push_back(std::move(script));
        }
    }
    return scripts;
}

nlohmann::json panelBootstrapObject(const PanelBootstrap& values) {
    return {{"serverUrl", values.serverUrl},
            {"password", values.password},
            {"model", values.model},
            {"mode", values.mode},
            {"accessibilityTrusted", values.accessibilityTrusted},
            {"archiveConversations", values.archiveConversations}};
}

nlohmann::json quickBarBootstrapObject(const QuickBarBootstrap& values) {
    return {{"serverUrl", values.serverUrl},
            {"password", values.password},
            {"model", values.model},
            {"selection", values.selection},
            {"selectionChars", static_cast<std::int64_t>(characterCount(values.selection))},
            {"pageId", values.pageId},
            {"pageTitle", values.pageTitle},
            {"pageUrl", values.pageUrl},
            {"appName", values.appName}};
}

nlohmann::json meetingBootstrapObject(const MeetingBootstrap& values) {
    return {{"serverUrl", values.serverUrl},
            {"password", values.password},
            {"model", values.model},
            {"meetingTitle", ""},
            {"pageId", ""},
            {"pageTitle", ""}};
}

nlohmann::json quickBarContextObject(const QuickBarBootstrap& values) {
    return {{"selection", values.selection},
            {"selectionChars", static_cast<std::int64_t>(characterCount(values.selection))},
            {"pageId", values.pageId},
            {"pageTitle", values.pageTitle},
            {"appName", values.appName}};
}

std::optional<std::string> guardedCall(std::string_view bridge, std::string_view function,
                                       const nlohmann::json& argument) {
    const std::optional<std::string> json = compact(argument);
    if (!json) {
        return std::nullopt;
    }
    const std::string object = "window." + std::string(bridge);
    const std::string member = object + "." + std::string(function);
    return object + " && " + member + " && " + member + "(" + *json + ");";
}

nlohmann::json contextObject(const NotionContext& context) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : context.jsonObject()) {
        object[key] = value;
    }
    return object;
}

std::string composerFillScript(std::string_view draft) {
    const std::string literal = compact(nlohmann::json(std::string(draft))).value_or("\"\"");
    return "(function () {\n"
           "  var element = document.querySelector(\"#composer\") || "
           "document.querySelector(\"textarea\");\n"
           "  if (!element) { return false; }\n"
           "  element.value = " +
           literal +
           ";\n"
           "  element.dispatchEvent(new Event(\"input\", { bubbles: true }));\n"
           "  element.focus();\n"
           "  return true;\n"
           "})();";
}

std::optional<Message> Message::accept(const nlohmann::json& body) {
    if (!body.is_object()) {
        return std::nullopt;
    }
    const auto action = body.find("action");
    if (action == body.end() || !action->is_string()) {
        return std::nullopt;
    }
    return Message(action->get<std::string>(), body);
}

std::string Message::string(const char* member) const {
    const auto found = body_.find(member);
    return found != body_.end() && found->is_string() ? found->get<std::string>() : "";
}

double Message::height() const {
    const auto found = body_.find("height");
    return found != body_.end() && found->is_number() ? found->get<double>() : 0;
}

std::string Message::draft() const {
    const auto found = body_.find("draft");
    if (found == body_.end()) {
        return "";
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    if (found->is_object()) {
        const auto inner = found->find("draft");
        if (inner != found->end() && inner->is_string()) {
            return inner->get<std::string>();
        }
    }
    return "";
}

}  // namespace pagemate::HostBridge
