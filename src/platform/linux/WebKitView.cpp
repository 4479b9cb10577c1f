#include "platform/linux/WebKitView.h"

#include <webkit2/webkit2.h>

#include <optional>
#include <set>
#include <utility>

#include "platform/PlatformNotice.h"
#include "platform/linux/GObjectPtr.h"
#include "support/Url.h"

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
    nlohmann::json parsed =
        text ? nlohmann::json::parse(text.get(), nullptr, false) : nlohmann::json();
    if (!text || parsed.is_discarded()) {
        result(std::nullopt, "");  // a value JSON cannot hold
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

// The kind of a failed load, from the error domains WebKit passes on (its own, GIO's
// sockets, the resolver, TLS); the engine's message stays as the detail.
NetworkError networkError(const GError* error) {
    using Kind = NetworkError::Kind;
    NetworkError result{Kind::other, error->message != nullptr ? error->message : ""};
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_CONNECTION_REFUSED:
            case G_IO_ERROR_HOST_UNREACHABLE:
            case G_IO_ERROR_NETWORK_UNREACHABLE:
                result.kind = Kind::cannotConnect;
                break;
            case G_IO_ERROR_TIMED_OUT:
                result.kind = Kind::timedOut;
                break;
            case G_IO_ERROR_CONNECTION_CLOSED:
                result.kind = Kind::connectionLost;
                break;
            default:
                break;
        }
    } else if (error->domain == G_RESOLVER_ERROR) {
        result.kind = Kind::cannotResolveHost;
    } else if (error->domain == G_TLS_ERROR) {
        result.kind = Kind::secureConnectionFailed;
    } else if (error->domain == WEBKIT_NETWORK_ERROR &&
               error->code == WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL) {
        result.kind = Kind::invalidURL;
    }
    return result;
}

constexpr std::string_view kOwnPage = "about:blank";  // loadHTML's documents

// `script` for the documents of `origin` (none: no origin) and the view's own pages
// only. It runs before any script of the page, which therefore cannot have changed what
// `location` says; the view's own pages are the only "about:blank" top-level documents
// a bound view shows, since its pages cannot navigate there.
std::string confinedScript(const std::string& script, const std::optional<std::string>& origin) {
    const std::string originTest =
        origin ? "location.origin === " + nlohmann::json(*origin).dump() + " || " : "";
    return "if (" + originTest + "location.href === \"" + std::string(kOwnPage) + "\") {\n" +
           script + "\n}\n";
}

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

struct WebKitView::Impl {
    Impl(WebKitWebContext* context, Options options);
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl();

    void addDocumentEndScripts() {
        addScripts(contentManager.get(), documentEndScripts,
                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END);
    }

    // The request time-out: armed when a load is asked for, disarmed as soon as the
    // page's own response has arrived.
    void armTimeout(std::chrono::milliseconds timeout);
    void disarmTimeout();
    void onTimeout();

    void installScripts();
    // Whether the document shown now is the service's or the view's own.
    [[nodiscard]] bool showsServiceDocument() const;
    // Sends a page's way out of the service's origin to the browser, or refuses it.
    void leaveFor(const std::string& url) const;
    // A page-initiated load of the main frame that has just started or been redirected:
    // stopped unless it stays with the service (or reloads the view's own page).
    void vetPageLoad();
    [[nodiscard]] bool staysWithService(std::string_view target) const;

    // Signal handlers.
    static void onDownload(WebKitWebContext*, WebKitDownload* download, gpointer self);
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* message,
                          gpointer self);
    static gboolean onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);
    static void onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(::WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                 gpointer self);

    std::vector<std::string> documentEndScripts;
    std::vector<std::string> userScripts;
    // Bound to the service (the views with the host's message handler); a plain browser
    // view goes wherever its pages go.
    bool bound = true;
    std::optional<std::string> serviceOrigin;
    // The owner asked for a load that has not started yet / the load under way is its own.
    bool ownLoadAsked = false;
    bool ownLoad = false;
    // The view shows (or loads) its own page from loadHTML.
    bool ownPage = false;
    // vetPageLoad() stopped the load under way: its end is no failure to report.
    bool stoppedToLeave = false;
    std::set<std::string> droppedOrigins;
    GObjectPtr<WebKitUserContentManager> contentManager;
    GObjectPtr<::WebKitWebView> view;
    GObjectPtr<GCancellable> cancellable;
    WebViewDelegate* delegate = nullptr;
    guint timeoutSource = 0;
    // The time-out of the last address load, for reloads of the page it brought.
    std::optional<std::chrono::milliseconds> requestTimeout;
    bool timedOut = false;
    bool failed = false;
};

WebKitView::Impl::Impl(WebKitWebContext* context, Options options)
    : documentEndScripts(std::move(options.documentEndScripts)),
      bound(options.hostMessages),
      contentManager(webkit_user_content_manager_new()),
      cancellable(g_cancellable_new()) {
    if (options.hostMessages) {
        g_signal_connect(contentManager.get(), "script-message-received::pagemate",
                         G_CALLBACK(&onMessage), this);
        webkit_user_content_manager_register_script_message_handler(contentManager.get(),
                                                                    "pagemate");
    }
    addDocumentEndScripts();
    auto* created =
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                     "user-content-manager", contentManager.get(), nullptr));
    view.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(created)));
    WebKitSettings* settings = webkit_web_view_get_settings(view.get());
    webkit_settings_set_enable_developer_extras(settings, options.developerExtras ? TRUE : FALSE);
    if (!options.drawsBackground) {
        const GdkRGBA transparent{0, 0, 0, 0};
        webkit_web_view_set_background_color(view.get(), &transparent);
    }
    g_signal_connect(view.get(), "decide-policy", G_CALLBACK(&onDecidePolicy), this);
    g_signal_connect(view.get(), "load-changed", G_CALLBACK(&onLoadChanged), this);
    g_signal_connect(view.get(), "load-failed", G_CALLBACK(&onLoadFailed), this);
    if (bound) {
        g_signal_connect(webkit_web_view_get_context(view.get()), "download-started",
                         G_CALLBACK(&onDownload), this);
    }
}

WebKitView::Impl::~Impl() {
    disarmTimeout();
    g_cancellable_cancel(cancellable.get());
    g_signal_handlers_disconnect_by_data(view.get(), this);
    g_signal_handlers_disconnect_by_data(contentManager.get(), this);
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_context(view.get()), this);
    webkit_web_view_stop_loading(view.get());
}

void WebKitView::Impl::armTimeout(std::chrono::milliseconds timeout) {
    disarmTimeout();
    timedOut = false;
    timeoutSource = g_timeout_add(
        static_cast<guint>(timeout.count()),
        [](gpointer self) -> gboolean {
            static_cast<Impl*>(self)->onTimeout();
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitView::Impl::disarmTimeout() {
    if (timeoutSource != 0) {
        g_source_remove(timeoutSource);
        timeoutSource = 0;
    }
}

void WebKitView::Impl::onTimeout() {
    timeoutSource = 0;
    // Still armed: the page itself has not answered.
    if (webkit_web_view_is_loading(view.get()) == TRUE) {
        timedOut = true;
        webkit_web_view_stop_loading(view.get());
    }
}

void WebKitView::Impl::installScripts() {
    webkit_user_content_manager_remove_all_scripts(contentManager.get());
    if (bound) {
        std::vector<std::string> confined;
        confined.reserve(userScripts.size());
        for (const std::string& script : userScripts) {
            confined.push_back(confinedScript(script, serviceOrigin));
        }
        addScripts(contentManager.get(), confined, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    } else {
        addScripts(contentManager.get(), userScripts, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    }
    addDocumentEndScripts();
}

bool WebKitView::Impl::showsServiceDocument() const {
    const gchar* uri = webkit_web_view_get_uri(view.get());
    const std::string_view shown = uri != nullptr ? uri : "";
    return (ownPage && shown == kOwnPage) || (serviceOrigin && urlOrigin(shown) == serviceOrigin);
}

void WebKitView::Impl::leaveFor(const std::string& url) const {
    if (navigationVerdict(serviceOrigin.value_or(""), url) != NavigationVerdict::openInBrowser) {
        reportPlatformNotice(PageAddressRefused{url});
    } else if (delegate != nullptr) {
        delegate->openInBrowser(url);
    }
}

bool WebKitView::Impl::staysWithService(std::string_view target) const {
    // The view's own page may load itself again (its reload button).
    return (ownPage && target == kOwnPage) ||
           navigationVerdict(serviceOrigin.value_or(""), target) == NavigationVerdict::load;
}

void WebKitView::Impl::vetPageLoad() {
    const gchar* uri = webkit_web_view_get_uri(view.get());
    const std::string target = uri != nullptr ? uri : "";
    if (!bound || ownLoad || staysWithService(target)) {
        return;
    }
    // The page that asked stays: the stopped load ends as cancelled, which is not
    // reported as a failure.
    stoppedToLeave = true;
    webkit_web_view_stop_loading(view.get());
    leaveFor(target);
}

void WebKitView::Impl::onDownload(WebKitWebContext*, WebKitDownload* download, gpointer self) {
    const auto& impl = *static_cast<Impl*>(self);
    if (webkit_download_get_web_view(download) != impl.view.get()) {
        return;  // another view of the same context
    }
    const gchar* uri = webkit_uri_request_get_uri(webkit_download_get_request(download));
    const std::string target = uri != nullptr ? uri : "";
    if (navigationVerdict(impl.serviceOrigin.value_or(""), target) != NavigationVerdict::load) {
        webkit_download_cancel(download);
        impl.leaveFor(target);
    }
}

void WebKitView::Impl::onMessage(WebKitUserContentManager*, WebKitJavascriptResult* message,
                                 gpointer self) {
    auto& impl = *static_cast<Impl*>(self);
    WebViewDelegate* delegate = impl.delegate;
    if (delegate == nullptr) {
        return;
    }
    if (!impl.showsServiceDocument()) {
        const gchar* uri = webkit_web_view_get_uri(impl.view.get());
        const std::string shown = uri != nullptr ? uri : "";
        const std::string origin = urlOrigin(shown).value_or(shown);
        if (impl.droppedOrigins.insert(origin).second) {
            reportPlatformNotice(PageMessageDropped{origin});
        }
        return;
    }
    JSCValue* value = webkit_javascript_result_get_js_value(message);
    const GCharPtr text(value != nullptr ? jsc_value_to_json(value, 0) : nullptr);
    delegate->didReceiveMessage(text ? scriptMessageBody(text.get()) : nlohmann::json(nullptr));
}

gboolean WebKitView::Impl::onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision,
                                          WebKitPolicyDecisionType type, gpointer self) {
    auto& impl = *static_cast<Impl*>(self);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION && impl.bound) {
        // No second window: the service's own address opens here, others leave.
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const gchar* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const std::string target = uri != nullptr ? uri : "";
        webkit_policy_decision_ignore(decision);
        if (navigationVerdict(impl.serviceOrigin.value_or(""), target) == NavigationVerdict::load) {
            webkit_web_view_load_uri(impl.view.get(), target.c_str());
        } else {
            impl.leaveFor(target);
        }
        return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
        return FALSE;  // the default handling
    }
    auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision) == FALSE) {
        return FALSE;
    }
    // The page has answered: from here on it may take as long as it needs.
    impl.disarmTimeout();
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(responseDecision);
    const gchar* uri = webkit_uri_response_get_uri(response);
    if (impl.bound && !impl.ownLoad && !impl.staysWithService(uri != nullptr ? uri : "")) {
        // Stopped as it started; should its answer still come, it is not shown either.
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (impl.delegate == nullptr) {
        return FALSE;
    }
    const auto status = static_cast<int>(webkit_uri_response_get_status_code(response));
    if (!impl.delegate->allowResponse(status)) {
        impl.failed = true;  // the owner loads something else instead
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

void WebKitView::Impl::onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto& impl = *static_cast<Impl*>(self);
    if (event == WEBKIT_LOAD_STARTED) {
        impl.failed = false;
        impl.ownLoad = std::exchange(impl.ownLoadAsked, false);
    }
    // Which address a load goes to is known once it has started (and again at each
    // redirect); navigation decisions do not say whether they are for the main frame.
    if (event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED) {
        impl.vetPageLoad();
    }
    if (event == WEBKIT_LOAD_COMMITTED) {
        impl.disarmTimeout();  // answered, also when no response policy was asked
    }
    if (event == WEBKIT_LOAD_FINISHED) {
        impl.ownLoad = false;
        impl.disarmTimeout();
        if (!impl.failed && impl.delegate != nullptr) {
            impl.delegate->didFinish();
        }
    }
}

gboolean WebKitView::Impl::onLoadFailed(::WebKitWebView*, WebKitLoadEvent event, gchar* failingURI,
                                        GError* error, gpointer self) {
    auto& impl = *static_cast<Impl*>(self);
    impl.failed = true;
    impl.disarmTimeout();
    // A page's way out that failed before it started (an address the engine cannot
    // load) is handled as one that started; the page stays, and nothing failed for it.
    // (A load the owner has asked for and not yet started is its own too; that flag is
    // left for the load's start, since this may be the end of the load it replaces.)
    const bool own = impl.ownLoad || impl.ownLoadAsked;
    impl.ownLoad = false;
    if (impl.bound && !own && !impl.staysWithService(failingURI != nullptr ? failingURI : "")) {
        if (!std::exchange(impl.stoppedToLeave, false)) {
            impl.leaveFor(failingURI != nullptr ? failingURI : "");
        }
        return TRUE;
    }
    impl.stoppedToLeave = false;
    const bool interrupted =
        g_error_matches(error, WEBKIT_POLICY_ERROR,
                        WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) == TRUE;
    const bool cancelled =
        g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) == TRUE;
    const bool timedOut = std::exchange(impl.timedOut, false);
    if (impl.delegate == nullptr || interrupted || (cancelled && !timedOut)) {
        return TRUE;  // our own doing: nothing to report, no error page of WebKit's
    }
    if (timedOut) {
        // No response came within the time-out: the load never started for the user.
        impl.delegate->didFailProvisional(
            NetworkError{NetworkError::Kind::timedOut, "no response within the time-out"});
    } else if (event == WEBKIT_LOAD_STARTED) {
        impl.delegate->didFailProvisional(networkError(error));
    } else {
        impl.delegate->didFail(networkError(error));
    }
    return TRUE;
}

WebKitView::WebKitView(WebKitWebContext* context, Options options)
    : impl_(std::make_unique<Impl>(context, std::move(options))) {}

WebKitView::~WebKitView() = default;

GtkWidget* WebKitView::widget() const {
    return GTK_WIDGET(impl_->view.get());
}

void WebKitView::setDelegate(WebViewDelegate* delegate) {
    impl_->delegate = delegate;
}

void WebKitView::setUserScripts(const std::vector<std::string>& scripts) {
    impl_->userScripts = scripts;
    impl_->installScripts();
}

void WebKitView::setServiceOrigin(const std::string& address) {
    impl_->serviceOrigin = urlOrigin(address);
    impl_->installScripts();
}

void WebKitView::loadURL(const std::string& url, std::chrono::milliseconds timeout) {
    impl_->ownLoadAsked = true;
    impl_->ownPage = false;
    // Armed after the call: starting a load ends the previous one, which disarms.
    webkit_web_view_load_uri(impl_->view.get(), url.c_str());
    impl_->requestTimeout = timeout;
    impl_->armTimeout(timeout);
}

void WebKitView::loadHTML(const std::string& html) {
    impl_->disarmTimeout();
    impl_->requestTimeout.reset();
    impl_->ownLoadAsked = true;
    impl_->ownPage = true;
    webkit_web_view_load_html(impl_->view.get(), html.c_str(), nullptr);
}

void WebKitView::reload() {
    impl_->ownLoadAsked = true;
    webkit_web_view_reload(impl_->view.get());
    if (impl_->requestTimeout) {
        impl_->armTimeout(*impl_->requestTimeout);
    }
}

void WebKitView::evaluate(const std::string& script) {
    webkit_web_view_evaluate_javascript(impl_->view.get(), script.c_str(), -1, nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

void WebKitView::evaluate(const std::string& script, JsonResult result) {
    webkit_web_view_evaluate_javascript(
        impl_->view.get(), script.c_str(), -1, nullptr, nullptr, impl_->cancellable.get(),
        &onScriptDone,
        std::make_unique<PendingResult>(PendingResult{std::move(result), false}).release());
}

void WebKitView::callAsyncFunction(const std::string& body, JsonResult result) {
    webkit_web_view_call_async_javascript_function(
        impl_->view.get(), body.c_str(), -1, nullptr, nullptr, nullptr, impl_->cancellable.get(),
        &onScriptDone,
        std::make_unique<PendingResult>(PendingResult{std::move(result), true}).release());
}

std::string WebKitView::currentURL() {
    const gchar* uri = webkit_web_view_get_uri(impl_->view.get());
    return uri != nullptr ? uri : "";
}

}  // namespace pagemate::linux_backend
