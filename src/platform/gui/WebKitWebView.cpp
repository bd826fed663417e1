// The WebKitGTK adapter behind platform::WebView.
#include <webkit2/webkit2.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/FileBodyStream.h"
#include "platform/gui/WebExtensions.h"
#include "platform/gui/WebView.h"
#include "platform/gui/web-extension/PageChannel.h"

namespace wharf::platform {
namespace {

// One web context per process: WebKit fixes storage locations when the context
// is created, and custom schemes are registered on it.
struct ContextState {
    WebKitWebContext* context = nullptr;
    std::map<std::string, SchemeHandler> schemes;
    std::map<std::string, URISchemeOptions> declared;
    std::set<std::string> registered;  // schemes the context sends to schemeRequest
    bool pageChannel = false;  // the web-process extension is loaded
};

ContextState& contextState() {
    static ContextState* state = new ContextState;  // lives as long as the process
    return *state;
}

void schemeRequest(WebKitURISchemeRequest* request, gpointer);

void registerScheme(const std::string& scheme) {
    auto& st = contextState();
    if (!st.context || !st.registered.insert(scheme).second) return;
    webkit_web_context_register_uri_scheme(st.context, scheme.c_str(), &schemeRequest, nullptr, nullptr);
    auto options = st.declared.find(scheme);
    if (options == st.declared.end()) return;
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(st.context);
    if (options->second.local) webkit_security_manager_register_uri_scheme_as_local(security, scheme.c_str());
    if (options->second.corsEnabled)
        webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
}

WebKitWebContext* sharedContext(const WebContextOptions& options) {
    auto& st = contextState();
    if (st.context) return st.context;
    WebKitWebsiteDataManager* manager = nullptr;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    manager = WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(
        WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory",
        options.dataDirectory.empty() ? nullptr : options.dataDirectory.c_str(), "base-cache-directory",
        options.cacheDirectory.empty() ? nullptr : options.cacheDirectory.c_str(), "local-storage-directory",
        options.localStorageDirectory.empty() ? nullptr : options.localStorageDirectory.c_str(), nullptr));
    G_GNUC_END_IGNORE_DEPRECATIONS
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(manager);
    if (!options.fileAccessRoots.empty()) {
        try {
            confineFileLoads(context, options.fileAccessRoots);
            st.pageChannel = true;
        } catch (...) {
            g_object_unref(context);
            g_object_unref(manager);
            throw;
        }
    }
    st.context = context;
    // Pages save no files: a download would write outside the application
    // (into the user's own directories) and read any file the user can read,
    // for the network process fetches it past the confinement of file:// loads.
    g_signal_connect(context, "download-started",
                     G_CALLBACK(+[](WebKitWebContext*, WebKitDownload* download, gpointer) {
                         WebKitURIRequest* request = webkit_download_get_request(download);
                         const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
                         log("Refused a download of %s", uri ? uri : "(no URL)");
                         webkit_download_cancel(download);
                     }),
                     nullptr);
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(manager);
    WebKitCookieAcceptPolicy policy = !options.acceptAllCookies         ? WEBKIT_COOKIE_POLICY_ACCEPT_NEVER
                                      : options.acceptThirdPartyCookies ? WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS
                                                                        : WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY;
    webkit_cookie_manager_set_accept_policy(cookies, policy);
    if (!options.cookieFile.empty())
        webkit_cookie_manager_set_persistent_storage(cookies, options.cookieFile.c_str(),
                                                     WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    g_object_unref(manager);
    for (const auto& [scheme, options] : st.declared) registerScheme(scheme);
    return st.context;
}

Error errorFromGError(const GError* gerror, const char* failingUri) {
    if (!gerror) return Error(kURLErrorDomain, -1);
    Value info = Value::object();
    info[kLocalizedDescriptionKey] = gerror->message ? gerror->message : "";
    if (failingUri) info["NSErrorFailingURLStringKey"] = failingUri;
    // A cancelled load, or one the policy decision stopped, is what the phone
    // reported as a cancelled request.
    if ((gerror->domain == WEBKIT_NETWORK_ERROR && gerror->code == WEBKIT_NETWORK_ERROR_CANCELLED) ||
        (gerror->domain == WEBKIT_POLICY_ERROR &&
         gerror->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return Error(kURLErrorDomain, kURLErrorCancelled, info);
    return Error(g_quark_to_string(gerror->domain), gerror->code, info);
}

URLRequest requestFrom(WebKitURIRequest* req) {
    URLRequest r;
    const char* uri = webkit_uri_request_get_uri(req);
    if (uri) {
        if (auto u = Url::parse(uri)) r.url = *u;
    }
    r.mainDocumentURL = r.url;
    const char* method = webkit_uri_request_get_http_method(req);
    r.method = method ? method : "GET";
    if (SoupMessageHeaders* h = webkit_uri_request_get_http_headers(req)) {
        SoupMessageHeadersIter it;
        soup_message_headers_iter_init(&it, h);
        const char *name, *value;
        while (soup_message_headers_iter_next(&it, &name, &value)) r.headers[name] = value;
    }
    return r;
}

// One of WebKit's switchable features by name (null when this WebKit has none).
WebKitFeature* findFeature(const char* identifier) {
    static WebKitFeatureList* features = webkit_settings_get_all_features();  // kept for the process
    for (gsize i = 0; i < webkit_feature_list_get_length(features); ++i) {
        WebKitFeature* feature = webkit_feature_list_get(features, i);
        if (g_strcmp0(webkit_feature_get_identifier(feature), identifier) == 0) return feature;
    }
    return nullptr;
}

std::string resultText(JSCValue* value) {
    if (!value) return "";
    if (jsc_value_is_string(value) || jsc_value_is_number(value) || jsc_value_is_boolean(value) ||
        jsc_value_is_array(value)) {
        char* s = jsc_value_to_string(value);
        std::string out = s ? s : "";
        g_free(s);
        return out;
    }
    return "";
}

// Finishes a custom-scheme request with the answer and lets it go.
void finishSchemeRequest(WebKitURISchemeRequest* request, SchemeResponse& resp) {
    if (resp.error) {
        GError* e = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, resp.error->localizedDescription().c_str());
        webkit_uri_scheme_request_finish_error(request, e);
        g_error_free(e);
    } else {
        GInputStream* stream = nullptr;
        gint64 length = 0;
        if (resp.bodyFile && *resp.bodyFile) {
            length = static_cast<gint64>(resp.bodyFileLength);
            stream = newFileBodyStream(resp);
        } else {
            // The stream takes the body over instead of copying it, and lets
            // it go (with its owner) once WebKit is done with it. Bytes held
            // are counted where they are held, and are sent at once.
            struct Body {
                Bytes bytes;
                std::shared_ptr<void> owner;
            };
            auto* body = new Body{std::move(resp.body), std::move(resp.bodyOwner)};
            GBytes* gbytes = g_bytes_new_with_free_func(
                body->bytes.data(), body->bytes.size(), [](gpointer owned) { delete static_cast<Body*>(owned); }, body);
            stream = g_memory_input_stream_new_from_bytes(gbytes);
            g_bytes_unref(gbytes);
            length = static_cast<gint64>(body->bytes.size());
        }
        WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, length);
        webkit_uri_scheme_response_set_status(response, static_cast<guint>(resp.status), nullptr);
        if (!resp.mimeType.empty()) webkit_uri_scheme_response_set_content_type(response, resp.mimeType.c_str());
        if (!resp.headers.empty()) {
            SoupMessageHeaders* h = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
            for (auto& [k, v] : resp.headers) soup_message_headers_append(h, k.c_str(), v.c_str());
            webkit_uri_scheme_response_set_http_headers(response, h);
        }
        webkit_uri_scheme_request_finish_with_response(request, response);
        g_object_unref(response);
        g_object_unref(stream);
    }
    g_object_unref(request);
}

void schemeRequest(WebKitURISchemeRequest* request, gpointer) {
    const char* scheme = webkit_uri_scheme_request_get_scheme(request);
    auto& st = contextState();
    auto it = st.schemes.find(scheme ? scheme : "");
    if (it == st.schemes.end()) {
        GError* e = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no handler for scheme %s", scheme);
        webkit_uri_scheme_request_finish_error(request, e);
        g_error_free(e);
        return;
    }
    URLRequest r;
    if (auto u = Url::parse(webkit_uri_scheme_request_get_uri(request))) r.url = *u;
    r.mainDocumentURL = r.url;
    const char* method = webkit_uri_scheme_request_get_http_method(request);
    r.method = method ? method : "GET";
    g_object_ref(request);
    // A scheme the page may read with fetch() and XMLHttpRequest answers
    // their cross-origin check; only local pages reach a local scheme at all.
    auto declared = st.declared.find(scheme);
    const bool corsEnabled = declared != st.declared.end() && declared->second.corsEnabled;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto respond = [request, answered, corsEnabled](SchemeResponse resp) {
        if (answered->exchange(true)) return;  // a second answer would finish the request twice
        if (corsEnabled) resp.headers.emplace("Access-Control-Allow-Origin", "*");
        auto finish = [request, resp = std::move(resp)]() mutable { finishSchemeRequest(request, resp); };
        // WebKit's request objects belong to the main thread.
        if (RunLoop::isMainThread())
            finish();
        else
            RunLoop::performOnMain(std::move(finish));
    };
    try {
        it->second(r, std::move(respond));
    } catch (const std::exception& e) {
        log("Scheme handler for %s threw: %s", scheme, e.what());
    }
}

class WebKitWebViewAdapter final : public WebView {
public:
    explicit WebKitWebViewAdapter(const WebContextOptions& options) {
        WebKitWebContext* ctx = sharedContext(options);
        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(ctx));
        g_object_ref_sink(view_);
        defaultUserAgent_ = webkit_settings_get_user_agent(webkit_web_view_get_settings(view_));
        handlers_[0] = g_signal_connect(view_, "decide-policy", G_CALLBACK(&onDecidePolicy), this);
        handlers_[1] = g_signal_connect(view_, "load-changed", G_CALLBACK(&onLoadChanged), this);
        handlers_[2] = g_signal_connect(view_, "load-failed", G_CALLBACK(&onLoadFailed), this);
        handlers_[3] = g_signal_connect(view_, "user-message-received", G_CALLBACK(&onUserMessage), this);
        applySettings(settings_);
    }

    ~WebKitWebViewAdapter() override {
        // Destroying the window disposes the view, which drops its handlers already.
        for (gulong h : handlers_)
            if (h && g_signal_handler_is_connected(view_, h)) g_signal_handler_disconnect(view_, h);
        if (noOverscroll_) webkit_user_style_sheet_unref(noOverscroll_);
        g_object_unref(view_);
    }

    void setObserver(WebViewObserver* observer) override { observer_ = observer; }

    void loadRequest(const URLRequest& request) override {
        WebKitURIRequest* req = webkit_uri_request_new(request.url.absoluteString().c_str());
        if (!request.headers.empty()) {
            if (SoupMessageHeaders* h = webkit_uri_request_get_http_headers(req))
                for (auto& [k, v] : request.headers) soup_message_headers_replace(h, k.c_str(), v.c_str());
        }
        ++loadsIssued_;
        webkit_web_view_load_request(view_, req);
        g_object_unref(req);
    }

    void loadHTMLString(const std::string& html, const std::optional<Url>& baseURL) override {
        ++loadsIssued_;
        webkit_web_view_load_html(view_, html.c_str(), baseURL ? baseURL->absoluteString().c_str() : nullptr);
    }

    void stopLoading() override { webkit_web_view_stop_loading(view_); }
    void reload() override {
        ++loadsIssued_;
        webkit_web_view_reload(view_);
    }
    bool isLoading() const override { return webkit_web_view_is_loading(view_); }

    std::optional<Url> url() const override {
        const char* uri = webkit_web_view_get_uri(view_);
        if (!uri) return std::nullopt;
        return Url::parse(uri);
    }

    void evaluateJavaScript(const std::string& script, ScriptCompletion completion) override {
        auto* done = new ScriptCompletion(std::move(completion));
        webkit_web_view_evaluate_javascript(
            view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<ScriptCompletion> cb(static_cast<ScriptCompletion*>(data));
                GError* gerror = nullptr;
                // Released after the completion: the bridge's next script
                // should not wait for the value's teardown.
                std::unique_ptr<JSCValue, decltype(&g_object_unref)> value(
                    webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &gerror),
                    &g_object_unref);
                std::string text = resultText(value.get());
                std::optional<Error> err;
                if (gerror) {
                    err = Error::withDescription("WKErrorDomain", gerror->code, gerror->message ? gerror->message : "");
                    g_error_free(gerror);
                }
                if (!*cb) return;
                try {
                    (*cb)(text, err ? &*err : nullptr);
                } catch (const std::exception& e) {
                    log("Script completion threw: %s", e.what());
                }
            },
            done);
    }

    bool deliverCallbacks(std::string& results) override {
        // A GVariant string is UTF-8; anything else goes by script, which
        // reads it as it always has.
        if (!contextState().pageChannel ||
            !g_utf8_validate(results.data(), static_cast<gssize>(results.size()), nullptr))
            return false;
        // The messages read the text where it is and let it go with the
        // last of them: it is not copied. WebKit copies each message whole
        // on its way, and again into the memory it goes through: a large
        // text goes in parts, lest it be held three times over at once.
        auto* text = new std::string(std::move(results));
        GBytes* all = g_bytes_new_with_free_func(
            text->data(), text->size() + 1, [](gpointer owned) { delete static_cast<std::string*>(owned); }, text);
        constexpr gsize kPart = gsize{16} << 20;
        // The results message carries the rest, a string of its own (with
        // the text's terminating NUL): it starts on a character.
        gsize rest = text->size() / kPart * kPart;
        while (rest > 0 && (static_cast<unsigned char>((*text)[rest]) & 0xC0) == 0x80) --rest;
        for (gsize at = 0; at < rest; at += kPart) {
            GBytes* part = g_bytes_new_from_bytes(all, at, std::min(kPart, rest - at));
            sendToPage(page_channel::kCallbacksPartMessage,
                       g_variant_new_from_bytes(G_VARIANT_TYPE_BYTESTRING, part, TRUE));
            g_bytes_unref(part);
        }
        GBytes* last = g_bytes_new_from_bytes(all, rest, text->size() + 1 - rest);
        g_bytes_unref(all);
        sendToPage(page_channel::kCallbacksMessage, g_variant_new_from_bytes(G_VARIANT_TYPE_STRING, last, TRUE));
        g_bytes_unref(last);
        return true;
    }

    void applySettings(const WebViewSettings& s) override {
        settings_ = s;
        WebKitSettings* ws = webkit_web_view_get_settings(view_);
        webkit_settings_set_enable_javascript(ws, s.javascriptEnabled);
        webkit_settings_set_media_playback_requires_user_gesture(ws, s.mediaPlaybackRequiresUserAction);
        webkit_settings_set_media_playback_allows_inline(ws, s.allowsInlineMediaPlayback);
        webkit_settings_set_allow_file_access_from_file_urls(ws, s.allowFileAccessFromFileURLs);
        webkit_settings_set_enable_write_console_messages_to_stdout(ws, s.writeConsoleMessagesToStdout);
        webkit_settings_set_enable_smooth_scrolling(ws, s.normalDecelerationRate);
        if (WebKitFeature* feature = findFeature("SuppressesIncrementalRendering"))
            webkit_settings_set_feature_enabled(ws, feature, s.suppressesIncrementalRendering);
        // No bouncing: scrolling stops at the page's edges, whatever the page's own style.
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view_);
        if (!s.bounces && !noOverscroll_) {
            noOverscroll_ = webkit_user_style_sheet_new("html, body { overscroll-behavior: none !important; }",
                                                        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                                        WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
            webkit_user_content_manager_add_style_sheet(content, noOverscroll_);
        } else if (s.bounces && noOverscroll_) {
            webkit_user_content_manager_remove_style_sheet(content, noOverscroll_);
            webkit_user_style_sheet_unref(noOverscroll_);
            noOverscroll_ = nullptr;
        }
        if (!s.scalesPageToFit) webkit_web_view_set_zoom_level(view_, 1.0);
    }

    const WebViewSettings& settings() const override { return settings_; }

    void setBackgroundColor(double r, double g, double b, double a) override {
        GdkRGBA rgba{r, g, b, a};
        webkit_web_view_set_background_color(view_, &rgba);
    }

    void setOpaque(bool opaque) override {
        if (!opaque) {
            GdkRGBA clear{0, 0, 0, 0};
            webkit_web_view_set_background_color(view_, &clear);
        }
    }

    void setCustomUserAgent(const std::string& ua) override {
        webkit_settings_set_user_agent(webkit_web_view_get_settings(view_), ua.empty() ? nullptr : ua.c_str());
    }
    std::string userAgent() const override {
        const char* ua = webkit_settings_get_user_agent(webkit_web_view_get_settings(view_));
        return ua ? ua : "";
    }
    std::string defaultUserAgent() const override { return defaultUserAgent_; }

    void registerURIScheme(const std::string& scheme, SchemeHandler handler) override {
        contextState().schemes[scheme] = std::move(handler);
        registerScheme(scheme);
    }

    GtkWidget* widget() override { return GTK_WIDGET(view_); }

private:
    void sendToPage(const char* name, GVariant* parameters) {
        webkit_web_view_send_message_to_page(view_, webkit_user_message_new(name, parameters), nullptr, nullptr,
                                             nullptr);
    }

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer self) {
        auto* me = static_cast<WebKitWebViewAdapter*>(self);
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;  // WebKit's default
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        URLRequest request = requestFrom(webkit_navigation_action_get_request(action));
        auto navType = static_cast<NavigationType>(webkit_navigation_action_get_navigation_type(action));
        const bool userGesture = webkit_navigation_action_is_user_gesture(action);
        // WebKitGTK does not say which frame a navigation is for. A load that
        // no user started and no link click caused may be a frame's own (an
        // <iframe src="tel:...">): it counts as belonging to the page shown, so
        // it can never hand a URL to another application unasked.
        if (navType == NavigationType::Other && !userGesture) {
            if (const char* shown = webkit_web_view_get_uri(me->view_)) {
                if (auto page = Url::parse(shown)) request.mainDocumentURL = *page;
            }
        }
        // Every load WebKit makes for a page starts here; its own error page does not.
        me->engineErrorPageMayFollow_ = false;
        bool allow = true;
        // about:blank (a new frame, HTML loaded without a base URL) holds nothing to guard.
        const bool internalBlank = request.url.scheme() == "about";
        if (me->observer_ && !internalBlank) {
            try {
                allow = me->observer_->decidePolicyForNavigation(request, navType, userGesture);
            } catch (const std::exception& e) {
                log("Navigation decision threw: %s", e.what());
                allow = false;
            }
        }
        if (allow)
            webkit_policy_decision_use(decision);
        else
            webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    static gboolean onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self) {
        if (g_strcmp0(webkit_user_message_get_name(message), page_channel::kCommandsMessage) != 0) return FALSE;
        auto* me = static_cast<WebKitWebViewAdapter*>(self);
        GVariant* batch = webkit_user_message_get_parameters(message);
        if (me->observer_ && batch && g_variant_is_of_type(batch, G_VARIANT_TYPE_STRING)) {
            try {
                me->observer_->pageDidPostCommands(g_variant_get_string(batch, nullptr));
            } catch (const std::exception& e) {
                log("Commands from the page: %s", e.what());
            }
        }
        return TRUE;
    }

    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
        auto* me = static_cast<WebKitWebViewAdapter*>(self);
        // WebKit's own error page for a failed load is no page of the
        // application: none of its events reach the observer.
        if (event == WEBKIT_LOAD_STARTED && me->engineErrorPageMayFollow_) me->showingEngineErrorPage_ = true;
        if (me->showingEngineErrorPage_) {
            if (event == WEBKIT_LOAD_FINISHED) {
                me->showingEngineErrorPage_ = me->engineErrorPageMayFollow_ = false;
                log("Showing the web engine's own error page for %s", webkit_web_view_get_uri(view));
            }
            return;
        }
        if (event == WEBKIT_LOAD_FINISHED && me->settings_.scalesPageToFit) me->scalePageToFit();
        if (!me->observer_) return;
        try {
            switch (event) {
            case WEBKIT_LOAD_STARTED: me->observer_->loadStarted(); break;
            case WEBKIT_LOAD_REDIRECTED: me->observer_->loadRedirected(); break;
            case WEBKIT_LOAD_COMMITTED: me->observer_->loadCommitted(); break;
            case WEBKIT_LOAD_FINISHED: me->observer_->loadFinished(); break;
            }
        } catch (const std::exception& e) {
            log("Load event handler threw: %s", e.what());
        }
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer self) {
        auto* me = static_cast<WebKitWebViewAdapter*>(self);
        const unsigned loadsBefore = me->loadsIssued_;
        if (me->observer_) {
            try {
                me->observer_->loadFailed(errorFromGError(error, uri));
            } catch (const std::exception& e) {
                log("Load failure handler threw: %s", e.what());
            }
        }
        // The host's own error page takes over; WebKit's would cancel it.
        if (me->loadsIssued_ != loadsBefore) return TRUE;
        me->engineErrorPageMayFollow_ = true;
        return FALSE;
    }

    // Zooms out a page wider than the view until it fits (never in).
    void scalePageToFit() {
        webkit_web_view_set_zoom_level(view_, 1.0);
        evaluateJavaScript(
            "(function(){var d=document.documentElement;if(!d)return 1;"
            "var w=Math.max(d.scrollWidth,document.body?document.body.scrollWidth:0);"
            "return w>d.clientWidth&&w>0?d.clientWidth/w:1;})()",
            [view = std::shared_ptr<WebKitWebView>(WEBKIT_WEB_VIEW(g_object_ref(view_)), g_object_unref)](
                const std::string& result, const Error* error) {
                if (error) return;
                const double ratio = g_ascii_strtod(result.c_str(), nullptr);
                if (ratio > 0.05 && ratio < 1.0) webkit_web_view_set_zoom_level(view.get(), ratio);
            });
    }

    WebKitWebView* view_ = nullptr;
    WebViewObserver* observer_ = nullptr;
    WebViewSettings settings_;
    std::string defaultUserAgent_;
    gulong handlers_[4] = {0, 0, 0, 0};
    unsigned loadsIssued_ = 0;
    bool engineErrorPageMayFollow_ = false;
    bool showingEngineErrorPage_ = false;
    WebKitUserStyleSheet* noOverscroll_ = nullptr;
};

}  // namespace

std::shared_ptr<WebView> createWebKitWebView(const WebContextOptions& options) {
    return std::make_shared<WebKitWebViewAdapter>(options);
}

void declareURIScheme(const std::string& scheme, URISchemeOptions options) {
    contextState().declared[scheme] = options;
    registerScheme(scheme);
}

std::string webKitDefaultUserAgent() {
    WebKitSettings* settings = webkit_settings_new();
    const char* ua = webkit_settings_get_user_agent(settings);
    std::string out = ua ? ua : "";
    g_object_unref(settings);
    return out;
}

void clearWebKitCache() {
    auto& st = contextState();
    if (!st.context) return;
    WebKitWebsiteDataManager* manager = webkit_web_context_get_website_data_manager(st.context);
    webkit_website_data_manager_clear(
        manager, static_cast<WebKitWebsiteDataTypes>(WEBKIT_WEBSITE_DATA_MEMORY_CACHE | WEBKIT_WEBSITE_DATA_DISK_CACHE),
        0, nullptr, nullptr, nullptr);
}

}  // namespace wharf::platform
