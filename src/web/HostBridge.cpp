#include "web/HostBridge.h"

namespace pagemate::HostBridge {

namespace {

std::optional<std::string> compact(const nlohmann::json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // text that is not UTF-8
    }
}

// Decodes one code point; advances `index`. Malformed bytes count as one each.
char32_t nextCodePoint(std::string_view text, std::size_t& index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    int length = 1;
    char32_t value = byte;
    if (byte >= 0xF0) {
        length = 4;
        value = byte & 0x07U;
    } else if (byte >= 0xE0) {
        length = 3;
        value = byte & 0x0FU;
    } else if (byte >= 0xC0) {
        length = 2;
        value = byte & 0x1FU;
    }
    if (index + static_cast<std::size_t>(length) > text.size()) {
        ++index;
        return byte;
    }
    for (int offset = 1; offset < length; ++offset) {
        value = (value << 6U) | (static_cast<unsigned char>(text[index + offset]) & 0x3FU);
    }
    index += static_cast<std::size_t>(length);
    return value;
}

bool within(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last;
}

// Code points that never start a character of their own.
bool extendsPrevious(char32_t c) {
    return within(c, 0x0300, 0x036F) || within(c, 0x0483, 0x0489) || within(c, 0x0591, 0x05BD) ||
           within(c, 0x0610, 0x061A) || within(c, 0x064B, 0x065F) || within(c, 0x0900, 0x0903) ||
           within(c, 0x093A, 0x094F) || within(c, 0x0E31, 0x0E3A) || within(c, 0x0E47, 0x0E4E) ||
           within(c, 0x1160, 0x11FF) ||  // Hangul medial vowels and final consonants
           within(c, 0x1AB0, 0x1AFF) || within(c, 0x1DC0, 0x1DFF) || within(c, 0x200C, 0x200D) ||
           within(c, 0x20D0, 0x20FF) || within(c, 0x302A, 0x302F) || within(c, 0x3099, 0x309A) ||
           within(c, 0xFE00, 0xFE0F) || within(c, 0xFE20, 0xFE2F) ||
           within(c, 0x1F3FB, 0x1F3FF) ||  // skin tones
           within(c, 0xE0020, 0xE007F) || within(c, 0xE0100, 0xE01EF);
}

bool isRegionalIndicator(char32_t c) {
    return within(c, 0x1F1E6, 0x1F1FF);
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
            {"selectionChars", perceivedCharacterCount(values.selection)},
            {"pageId", values.pageId},
            {"pageTitle", values.pageTitle},
            {"pageUrl", values.pageUrl},
            {"appName", values.appName}};
}

nlohmann::json quickBarContextObject(const QuickBarBootstrap& values) {
    return {{"selection", values.selection},
            {"selectionChars", perceivedCharacterCount(values.selection)},
            {"pageId", values.pageId},
            {"pageTitle", values.pageTitle},
            {"appName", values.appName}};
}

std::int64_t perceivedCharacterCount(std::string_view utf8) {
    std::int64_t count = 0;
    char32_t previous = 0;
    bool joinNext = false;
    bool pairedFlag = false;
    std::size_t index = 0;
    while (index < utf8.size()) {
        const char32_t c = nextCodePoint(utf8, index);
        bool startsNew = true;
        if (count > 0) {
            if (extendsPrevious(c) || joinNext || (previous == U'\r' && c == U'\n')) {
                startsNew = false;
            } else if (isRegionalIndicator(c) && isRegionalIndicator(previous) && !pairedFlag) {
                startsNew = false;
            }
        }
        pairedFlag = !startsNew && isRegionalIndicator(c);
        joinNext = c == 0x200D;  // a zero-width joiner glues the next one on
        if (startsNew) {
            ++count;
        }
        previous = c;
    }
    return count;
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
