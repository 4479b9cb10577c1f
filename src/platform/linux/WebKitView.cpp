#include "platform/linux/WebKitView.h"

#include <memory>

namespace pagemate::linux_backend {

namespace {

struct PendingResult {
    WebView::JsonResult result;
    bool asyncFunction = false;
};

void deliverJson(JSCValue* value, GError* error, const WebView::JsonResult& result) {
    if (error != nullptr) {
        result(std::nullopt, error->message);
        return;
    }
    if (value == nullptr || jsc_value_is_undefined(value)) {
        result(nlohmann::json(nullptr), "");
        return;
    }
    const GCharPtr text(jsc_value_to_json(value, 0));
    if (!text) {
        result(std::nullopt, "页面脚本执行失败");
        return;
    }
    nlohmann::json parsed = nlohmann::json::parse(text.get(), nullptr, false);
    if (parsed.is_discarded()) {
        result(std::nullopt, "页面脚本执行失败");
        return;
    }
    result(std::move(parsed), "");
}

void onScriptDone(GObject* source, GAsyncResult* asyncResult, gpointer data) {
    const std::unique_ptr<PendingResult> pending(static_cast<PendingResult*>(data));
    GError* error = nullptr;
    JSCValue* value = pending->asyncFunction
                          ? webkit_web_view_call_async_javascript_function_finish(
                                WEBKIT_WEB_VIEW(source), asyncResult, &error)
                          : webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source),
                                                                       asyncResult, &error);
    const GErrorPtr ownedError(error);
    const GObjectPtr<JSCValue> ownedValue(value);
    // The view asked for it is gone: nobody to tell.
    if (ownedError && g_error_matches(ownedError.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return;
    }
    deliverJson(ownedValue.get(), ownedError.get(), pending->result);
}

void messageReceived(WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer self) {
    static_cast<WebKitView*>(self)->onMessage(message);
}

gboolean decidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision,
                      WebKitPolicyDecisionType type, gpointer self) {
    return static_cast<WebKitView*>(self)->onDecidePolicy(decision, type);
}

void loadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    static_cast<WebKitView*>(self)->onLoadChanged(event);
}

gboolean loadFailed(::WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error, gpointer self) {
    return static_cast<WebKitView*>(self)->onLoadFailed(event, error);
}

}  // namespace

WebKitView::WebKitView(WebKitWebContext* context, Options options)
    : documentEndScripts_(std::move(options.documentEndScripts)),
      contentManager_(webkit_user_content_manager_new()),
      cancellable_(g_cancellable_new()) {
    if (options.hostMessages) {
        g_signal_connect(contentManager_.get(), "script-message-received::pagemate",
                         G_CALLBACK(&messageReceived), this);
        webkit_user_content_manager_register_script_message_handler(contentManager_.get(),
                                                                    "pagemate");
    }
    addDocumentEndScripts();
    auto* view =
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                     "user-content-manager", contentManager_.get(), nullptr));
    view_.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(view)));
    WebKitSettings* settings = webkit_web_view_get_settings(view_.get());
    webkit_settings_set_enable_developer_extras(settings, options.developerExtras ? TRUE : FALSE);
    if (!options.drawsBackground) {
        const GdkRGBA transparent{0, 0, 0, 0};
        webkit_web_view_set_background_color(view_.get(), &transparent);
    }
    g_signal_connect(view_.get(), "decide-policy", G_CALLBACK(&decidePolicy), this);
    g_signal_connect(view_.get(), "load-changed", G_CALLBACK(&loadChanged), this);
    g_signal_connect(view_.get(), "load-failed", G_CALLBACK(&loadFailed), this);
}

WebKitView::~WebKitView() {
    cancelTimeout();
    g_cancellable_cancel(cancellable_.get());
    g_signal_handlers_disconnect_by_data(view_.get(), this);
    g_signal_handlers_disconnect_by_data(contentManager_.get(), this);
    webkit_web_view_stop_loading(view_.get());
}

namespace {
void addScripts(WebKitUserContentManager* manager, const std::vector<std::string>& scripts,
                WebKitUserScriptInjectionTime when) {
    for (const std::string& source : scripts) {
        WebKitUserScript* script = webkit_user_script_new(
            source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, when, nullptr, nullptr);
        webkit_user_content_manager_add_script(manager, script);
        webkit_user_script_unref(script);
    }
}
}  // namespace

void WebKitView::setUserScripts(const std::vector<std::string>& scripts) {
    webkit_user_content_manager_remove_all_scripts(contentManager_.get());
    addScripts(contentManager_.get(), scripts, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    addDocumentEndScripts();
}

void WebKitView::addDocumentEndScripts() {
    addScripts(contentManager_.get(), documentEndScripts_,
               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END);
}

void WebKitView::cancelTimeout() {
    if (timeoutSource_ != 0) {
        g_source_remove(timeoutSource_);
        timeoutSource_ = 0;
    }
}

void WebKitView::loadURL(const std::string& url, std::chrono::milliseconds timeout) {
    cancelTimeout();
    timedOut_ = false;
    webkit_web_view_load_uri(view_.get(), url.c_str());
    timeoutSource_ = g_timeout_add(
        static_cast<guint>(timeout.count()),
        [](gpointer self) -> gboolean {
            static_cast<WebKitView*>(self)->onTimeout();
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitView::onTimeout() {
    timeoutSource_ = 0;
    if (webkit_web_view_is_loading(view_.get()) == TRUE) {
        timedOut_ = true;
        webkit_web_view_stop_loading(view_.get());
    }
}

void WebKitView::loadHTML(const std::string& html) {
    cancelTimeout();
    webkit_web_view_load_html(view_.get(), html.c_str(), nullptr);
}

void WebKitView::reload() {
    webkit_web_view_reload(view_.get());
}

void WebKitView::evaluate(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_.get(), script.c_str(), -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
}

void WebKitView::evaluate(const std::string& script, JsonResult result) {
    webkit_web_view_evaluate_javascript(
        view_.get(), script.c_str(), -1, nullptr, nullptr, cancellable_.get(), &onScriptDone,
        std::make_unique<PendingResult>(PendingResult{std::move(result), false}).release());
}

void WebKitView::callAsyncFunction(const std::string& body, JsonResult result) {
    webkit_web_view_call_async_javascript_function(
        view_.get(), body.c_str(), -1, nullptr, nullptr, nullptr, cancellable_.get(), &onScriptDone,
        std::make_unique<PendingResult>(PendingResult{std::move(result), true}).release());
}

std::string WebKitView::currentURL() {
    const gchar* uri = webkit_web_view_get_uri(view_.get());
    return uri != nullptr ? uri : "";
}

void WebKitView::onMessage(WebKitJavascriptResult* message) {
    if (delegate_ == nullptr) {
        return;
    }
    JSCValue* value = webkit_javascript_result_get_js_value(message);
    const GCharPtr text(value != nullptr ? jsc_value_to_json(value, 0) : nullptr);
    nlohmann::json body =
        text ? nlohmann::json::parse(text.get(), nullptr, false) : nlohmann::json(nullptr);
    delegate_->didReceiveMessage(body.is_discarded() ? nlohmann::json(nullptr) : body);
}

gboolean WebKitView::onDecidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE || delegate_ == nullptr) {
        return FALSE;  // the default handling
    }
    auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision) == FALSE) {
        return FALSE;
    }
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(responseDecision);
    const auto status = static_cast<int>(webkit_uri_response_get_status_code(response));
    if (!delegate_->allowResponse(status)) {
        failed_ = true;  // the owner loads something else instead
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

void WebKitView::onLoadChanged(WebKitLoadEvent event) {
    if (event == WEBKIT_LOAD_STARTED) {
        failed_ = false;
    }
    if (event == WEBKIT_LOAD_FINISHED) {
        cancelTimeout();
        if (!failed_ && delegate_ != nullptr) {
            delegate_->didFinish();
        }
    }
}

gboolean WebKitView::onLoadFailed(WebKitLoadEvent event, GError* error) {
    failed_ = true;
    cancelTimeout();
    const bool interrupted =
        g_error_matches(error, WEBKIT_POLICY_ERROR,
                        WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) == TRUE;
    const bool cancelled =
        g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) == TRUE;
    if (delegate_ == nullptr || interrupted || (cancelled && !timedOut_)) {
        return TRUE;  // our own doing: nothing to report, no error page of WebKit's
    }
    const std::string description = timedOut_ ? "请求超时。" : error->message;
    timedOut_ = false;
    if (event == WEBKIT_LOAD_STARTED) {
        delegate_->didFailProvisional(description);
    } else {
        delegate_->didFail(description);
    }
    return TRUE;
}

}  // namespace pagemate::linux_backend
