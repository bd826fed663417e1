#include "plugins/printer/APPPrinter.h"

#include <chrono>
#include <string_view>

#include "host/WFCommandDelegate.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFViewControllerInterface.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/WebView.h"
#include "platform/storage/Bundle.h"

namespace wharf {

using platform::Value;

namespace {
// After a cancelled load, the time a new one has to begin (a page that
// navigates on while loading) before the print counts as failed.
constexpr std::chrono::milliseconds kCancelledLoadGrace{250};
constexpr int64_t kURLErrorTimedOut = -1001;
}  // namespace

// Listens to one load of a print job's off-screen web view and ends it once:
// with the print when it finishes, with a failed print when it fails.
class APPPrinter::ContentLoad final : public platform::WebViewObserver {
public:
    ContentLoad(std::weak_ptr<WFPlugin> plugin, unsigned job, platform::WebView* view, bool fromURL)
        : plugin_(std::move(plugin)), job_(job), view_(view), fromURL_(fromURL) {}

    bool decidePolicyForNavigation(const platform::URLRequest&, platform::NavigationType, bool) override {
        return true;
    }
    void loadStarted() override {
        ++starts_;
        failed_ = false;
        committed_ = false;
    }
    void loadRedirected() override {}
    void loadCommitted() override { committed_ = true; }
    void loadFinished() override {
        // The engine ends a failed load with a finish too: that is no content.
        if (done_ || failed_) return;
        done_ = true;
        auto self = printer();
        if (!self) return;
        // A URL the engine refuses to load at all (a blocked port, a file
        // outside the application) leaves an empty page in its place.
        auto shown = view_->url();
        if (fromURL_ && shown && shown->absoluteString() == "about:blank") {
            self->contentFailedToLoad(
                job_, platform::Error::withDescription(platform::kURLErrorDomain, -1, "The content's URL was refused"));
            return;
        }
        self->webViewDidFinishLoad(job_);
    }
    // The content has not finished loading in time: a page that arrived
    // prints as it stands (its slow parts given up, as when they fail); no
    // page at all is a failed print.
    void timedOut() {
        if (done_) return;
        done_ = true;
        view_->stopLoading();
        auto self = printer();
        if (!self) return;
        if (committed_)
            self->webViewDidFinishLoad(job_);
        else
            self->contentFailedToLoad(job_,
                                      platform::Error::withDescription(platform::kURLErrorDomain, kURLErrorTimedOut,
                                                                       "The request timed out."));
    }
    void loadFailed(const platform::Error& error) override {
        if (done_) return;
        failed_ = true;
        if (error.domain == platform::kURLErrorDomain && error.code == platform::kURLErrorCancelled) {
            // A load the page replaced with another ends with that one.
            const int starts = starts_;
            std::weak_ptr<WFPlugin> weak = plugin_;
            const unsigned job = job_;
            platform::RunLoop::performAfter(kCancelledLoadGrace, [weak, job, starts, error] {
                auto self = std::static_pointer_cast<APPPrinter>(weak.lock());
                PendingPrint* print = self ? self->pending(job) : nullptr;
                if (!print) return;
                ContentLoad& load = *print->load;
                if (load.done_ || load.starts_ != starts || print->view->isLoading()) return;
                load.done_ = true;
                self->contentFailedToLoad(job, error);
            });
            return;
        }
        done_ = true;
        if (auto self = printer()) self->contentFailedToLoad(job_, error);
    }

private:
    std::shared_ptr<APPPrinter> printer() const { return std::static_pointer_cast<APPPrinter>(plugin_.lock()); }

    std::weak_ptr<WFPlugin> plugin_;
    unsigned job_;
    platform::WebView* view_;
    bool fromURL_;
    int starts_ = 0;
    bool failed_ = false;
    bool committed_ = false;
    bool done_ = false;
};

void registerPrinterPlugin() { WFRegisterPluginClass<APPPrinter>("APPPrinter"); }

const WFActionTable& APPPrinter::actions() {
    static const WFActionTable table = WFMakeActionTable<APPPrinter>({
        {"check", &APPPrinter::check},
        {"pick", &APPPrinter::pick},
        {"print", &APPPrinter::print},
    });
    return table;
}

APPPrinter::~APPPrinter() {
    for (auto& [job, print] : pending_) print.view->setObserver(nullptr);
}

APPPrinter::PendingPrint* APPPrinter::pending(unsigned job) {
    auto found = pending_.find(job);
    return found == pending_.end() ? nullptr : &found->second;
}

void APPPrinter::forget(unsigned job) {
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    platform::RunLoop::performOnMain([weak, job] {
        auto self = std::static_pointer_cast<APPPrinter>(weak.lock());
        PendingPrint* print = self ? self->pending(job) : nullptr;
        if (!print) return;
        print->view->setObserver(nullptr);
        self->pending_.erase(job);
    });
}

std::optional<std::string> APPPrinter::callbackId() const {
    std::lock_guard lock(mutex_);
    return callbackId_;
}

Value APPPrinter::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

bool APPPrinter::isPrintingAvailable() { return platform::Printer::isPrintingAvailable(); }

std::shared_ptr<platform::Printer> APPPrinter::printController() { return platform::Printer::shared(); }

// --- Actions ---------------------------------------------------------------

void APPPrinter::check(const WFInvokedUrlCommand& command) {
    auto delegate = commandDelegate();
    if (!delegate) return;
    std::weak_ptr<WFCommandDelegate> weakDelegate = delegate;
    delegate->runInBackground([weakDelegate, callbackId = command.callbackId()] {
        const Value parts = Value::array({isPrintingAvailable(), -1});
        if (auto delegate = weakDelegate.lock())
            delegate->sendPluginResult(WFPluginResult::resultWithStatusMessageAsMultipart(WFResultStatus::OK, parts),
                                       callbackId);
    });
}

void APPPrinter::pick(const WFInvokedUrlCommand& command) {
    if (!isPrintingAvailable()) return;
    {
        std::lock_guard lock(mutex_);
        callbackId_ = command.callbackId();
    }
    presentPrinterPicker(command.callbackId());
}

void APPPrinter::print(const WFInvokedUrlCommand& command) {
    auto controller = printController();
    if (!controller || !controller->printingAvailable()) return;
    Value settings = command.argumentAtIndex(1, Value::object(), WFValueClass::Dictionary);
    {
        std::lock_guard lock(mutex_);
        callbackId_ = command.callbackId();
        settings_ = settings;
    }
    // Its jobs report to no delegate: one set by another plug-in's print stays with that print.
    controller->setDelegate({});
    adjustPrintControllerWithSettings(*controller, settings);
    loadContentIntoPrintController(platform::stringValue(command.argumentAtIndex(0, "")), *controller);
}

// --- Operations ------------------------------------------------------------

platform::Printer& APPPrinter::adjustPrintControllerWithSettings(platform::Printer& controller, const Value& settings) {
    auto flag = [&](const char* key) { return settings.contains(key) && platform::boolValue(settings[key]); };
    auto text = [&](const char* key) {
        return settings.contains(key) && settings[key].is_string() ? settings[key].get<std::string>() : std::string();
    };
    platform::PrintInfo info;
    info.outputType = (flag("graystyle") ? platform::PrintInfoOutputGrayscale : platform::PrintInfoOutputGeneral) +
                      (flag("border") ? 0 : platform::PrintInfoOutputPhoto);
    info.orientation =
        flag("landscape") ? platform::PrintInfoOrientationLandscape : platform::PrintInfoOrientationPortrait;
    const std::string duplex = text("duplex");
    info.duplex = duplex == "long"    ? platform::PrintInfoDuplexLongEdge
                  : duplex == "short" ? platform::PrintInfoDuplexShortEdge
                                      : platform::PrintInfoDuplexNone;
    info.jobName = text("name");
    controller.setPrintInfo(info);
    controller.setShowsPageRange(!flag("hidePageRange"));
    controller.setShowsNumberOfCopies(!flag("hideNumberOfCopies"));
    controller.setShowsPaperSelectionForLoadedPapers(!flag("hidePaperFormat"));
    return controller;
}

std::optional<platform::Url> APPPrinter::contentURL(const std::string& content) {
    static constexpr std::string_view kNeverInURL = " \t\r\n\f\v<>\"{}|\\^`";
    if (content.empty() || content.find_first_of(kNeverInURL) != std::string::npos) return std::nullopt;
    for (unsigned char c : content)
        if (c < 0x20 || c == 0x7f) return std::nullopt;
    return platform::Url::parse(content);
}

void APPPrinter::loadContentIntoPrintController(const std::string& content, platform::Printer& controller) {
    auto view = WFUIWebViewEngine::makeWebView(WFRect{0, 0, 1024, 768});
    if (!view) {
        platform::log("Printing needs a web view to lay the content out, and none can be made.");
        answerCompleted(false, callbackId());
        return;
    }
    const unsigned job = ++contentLoads_;
    const auto url = contentURL(content);
    PendingPrint& print = pending_[job];
    print.view = view;
    print.settings = settings();
    print.callbackId = callbackId();
    print.load = std::make_unique<ContentLoad>(weak_from_this(), job, view.get(), url && url->scheme() != "about");
    view->setObserver(print.load.get());
    // The controller holds the view as long as it may print it.
    controller.setPrintFormatter(platform::PrintFormatter{view.get(), view, 0, 0});
    // A server that never answers must not leave the page waiting for ever.
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    platform::RunLoop::performAfter(contentLoadTimeout_, [weak, job] {
        auto self = std::static_pointer_cast<APPPrinter>(weak.lock());
        if (PendingPrint* print = self ? self->pending(job) : nullptr) print->load->timedOut();
    });
    if (url) {
        platform::URLRequest request;
        request.url = *url;
        request.mainDocumentURL = *url;
        view->loadRequest(request);
        return;
    }
    // Relative references in the HTML resolve against the web application's files.
    std::optional<platform::Url> base;
    auto bundle = platform::Bundle::mainBundle();
    auto controllerView = viewController();
    if (bundle) {
        const std::string www = controllerView ? controllerView->wwwFolderName() : std::string("www");
        base = platform::Url::fileURL(bundle->bundlePath() + "/" + www + "/");
    }
    view->loadHTMLString(content, base);
}

void APPPrinter::webViewDidFinishLoad(unsigned job) {
    PendingPrint* print = pending(job);
    if (!print) return;
    forget(job);
    auto controller = printController();
    if (!controller) {
        answerCompleted(false, print->callbackId);
        return;
    }
    // A later print may have set the shared controller up for itself meanwhile.
    const Value settings = print->settings;
    adjustPrintControllerWithSettings(*controller, settings);
    controller->setDelegate({});
    controller->setPrintFormatter(platform::PrintFormatter{print->view.get(), print->view, 0, 0});
    const Value printerId = settings.contains("printerId") ? settings["printerId"] : Value();
    if (printerId.is_string() && !printerId.get<std::string>().empty())
        sendToPrinter(*controller, printerId.get<std::string>(), print->callbackId);
    else
        presentPrintController(*controller, print->callbackId);
}

void APPPrinter::contentFailedToLoad(unsigned job, const platform::Error& error) {
    const PendingPrint* print = pending(job);
    const std::optional<std::string> callbackId = print ? print->callbackId : std::nullopt;
    forget(job);
    platform::log("The content to print did not load: %s", error.localizedDescription().c_str());
    answerCompleted(false, callbackId);
}

void APPPrinter::presentPrintController(platform::Printer& controller, const std::optional<std::string>& callbackId) {
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    controller.presentAnimated(true, [weak, callbackId](bool completed, const platform::Error*) {
        if (auto self = std::static_pointer_cast<APPPrinter>(weak.lock())) self->answerCompleted(completed, callbackId);
    });
}

void APPPrinter::sendToPrinter(platform::Printer& controller, const std::string& printerURL,
                               const std::optional<std::string>& callbackId) {
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    controller.printToPrinter(printerURL, [weak, callbackId](bool completed, const platform::Error*) {
        if (auto self = std::static_pointer_cast<APPPrinter>(weak.lock())) self->answerCompleted(completed, callbackId);
    });
}

void APPPrinter::presentPrinterPicker(const std::optional<std::string>& callbackId) {
    auto controller = printController();
    if (!controller) return;
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    controller->presentPrinterPicker(true, [weak, callbackId](const std::optional<std::string>& url) {
        if (auto self = std::static_pointer_cast<APPPrinter>(weak.lock()))
            self->returnPrinterPickerResult(url, callbackId);
    });
}

void APPPrinter::returnPrinterPickerResult(const std::optional<std::string>& printerURL,
                                           const std::optional<std::string>& callbackId) {
    auto delegate = commandDelegate();
    if (!delegate) return;
    delegate->sendPluginResult(printerURL
                                   ? WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, *printerURL)
                                   : WFPluginResult::resultWithStatus(WFResultStatus::NoResult),
                               callbackId);
}

void APPPrinter::answerCompleted(bool completed, const std::optional<std::string>& callbackId) {
    // Each call hears of its own job: an answer sent to a later call would
    // tell it of another job, and leave the call that asked without one.
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, completed),
                                   callbackId);
}

}  // namespace wharf
