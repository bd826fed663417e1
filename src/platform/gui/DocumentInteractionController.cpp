#include "platform/gui/DocumentInteractionController.h"

#include <gtk/gtk.h>

#include <mutex>

#include "platform/base/Log.h"
#include "platform/gui/WebView.h"

namespace wharf::platform {

namespace {

// Shows the document and nothing else: a link in it goes nowhere, so the
// preview never turns into a browser.
class PreviewNavigation : public WebViewObserver {
public:
    explicit PreviewNavigation(Url documentURL) : documentURL_(std::move(documentURL)) {}
    bool decidePolicyForNavigation(const URLRequest& request, NavigationType, bool) override {
        return request.url.withoutFragment() == documentURL_.withoutFragment();
    }
    void loadStarted() override {}
    void loadRedirected() override {}
    void loadFinished() override {}
    void loadFailed(const Error& error) override {
        if (error.code != kURLErrorCancelled)
            log("Document preview of %s failed: %s", documentURL_.absoluteString().c_str(),
                error.localizedDescription().c_str());
    }

private:
    Url documentURL_;
};

class WindowPreview final : public DocumentInteractionController {
public:
    using DocumentInteractionController::DocumentInteractionController;
    ~WindowPreview() override { dismissPreviewAnimated(false); }

    bool presentPreviewAnimated(bool) override {
        if (window_) {
            gtk_window_present(GTK_WINDOW(window_));
            return true;
        }
        if (!gtk_init_check(nullptr, nullptr)) return false;
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        g_object_ref_sink(window_);
        std::string name = URL().path();
        name = name.substr(name.rfind('/') + 1);
        gtk_window_set_title(GTK_WINDOW(window_), name.empty() ? "Document" : name.c_str());
        gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
        if (GtkWindow* parent = parentWindow()) {
            gtk_window_set_transient_for(GTK_WINDOW(window_), parent);
            gtk_window_set_destroy_with_parent(GTK_WINDOW(window_), TRUE);
        }
        // Closed by the user: the window goes, the controller stays until replaced.
        g_signal_connect(
            window_, "destroy",
            G_CALLBACK(+[](GtkWidget*, gpointer self) { static_cast<WindowPreview*>(self)->forgetWindow(); }), this);
        view_ = createWebKitWebView();
        navigation_ = std::make_unique<PreviewNavigation>(URL());
        view_->setObserver(navigation_.get());
        gtk_container_add(GTK_CONTAINER(window_), view_->widget());
        URLRequest request;
        request.url = URL();
        request.mainDocumentURL = URL();
        view_->loadRequest(request);
        gtk_widget_show_all(window_);
        return true;
    }

    void dismissPreviewAnimated(bool) override {
        if (!window_) return;
        GtkWidget* window = window_;
        gtk_widget_destroy(window);  // runs forgetWindow()
        g_object_unref(window);
    }

    bool isPreviewPresented() const override { return window_ != nullptr; }

private:
    GtkWindow* parentWindow() {
        DocumentInteractionControllerDelegate* owner = delegate();
        GtkWidget* view = owner ? owner->documentInteractionControllerViewForPreview(*this) : nullptr;
        GtkWidget* top = view ? gtk_widget_get_toplevel(view) : nullptr;
        return top && GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
    }

    void forgetWindow() {
        if (view_) view_->setObserver(nullptr);
        view_.reset();
        navigation_.reset();
        if (window_) g_signal_handlers_disconnect_by_data(window_, this);
        window_ = nullptr;
    }

    GtkWidget* window_ = nullptr;
    std::shared_ptr<WebView> view_;
    std::unique_ptr<PreviewNavigation> navigation_;
};

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

DocumentInteractionController::Factory& factorySlot() {
    static DocumentInteractionController::Factory factory;
    return factory;
}

}  // namespace

std::shared_ptr<DocumentInteractionController> DocumentInteractionController::interactionControllerWithURL(
    const Url& url) {
    Factory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = factorySlot();
    }
    if (factory) return factory(url);
    return std::make_shared<WindowPreview>(url);
}

void DocumentInteractionController::setFactory(Factory factory) {
    std::lock_guard lock(factoryMutex());
    factorySlot() = std::move(factory);
}

}  // namespace wharf::platform
