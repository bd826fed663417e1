#include "plugins/utility/Utility.h"

#include <cinttypes>

#include "host/WFCommandDelegate.h"
#include "host/WFViewController.h"
#include "host/plugins/WFURLOpener.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/gui/WebView.h"

namespace wharf {

const WFActionTable& Utility::actions() {
    static const WFActionTable table = WFMakeActionTable<Utility>({
        {"echo", &Utility::echo},
        {"setOrientation", &Utility::setOrientation},
        {"stayAwake", &Utility::stayAwake},
        {"startBackgroundTask", &Utility::startBackgroundTask},
        {"finishBackgroundTask", &Utility::finishBackgroundTask},
        {"debug", &Utility::debug},
        {"openUrl", &Utility::openUrl},
        {"openMap", &Utility::openMap},
        {"clearCache", &Utility::clearCache},
        {"sendNotification", &Utility::sendNotification},
        {"clearNotifications", &Utility::clearNotifications},
        {"print", &Utility::print},
    });
    return table;
}

void registerUtilityPlugin() { WFRegisterPluginClass<Utility>("Utility"); }

void Utility::respondWithStatus(const WFInvokedUrlCommand& command, WFResultStatus status) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(WFPluginResult::resultWithStatus(status), command.callbackId());
}

void Utility::respondWithMessage(const WFInvokedUrlCommand& command, const std::string& message) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, message),
                                   command.callbackId());
}

std::optional<std::string> Utility::requireText(const WFInvokedUrlCommand& command) {
    // A number, null or nothing where text belongs is an error like empty text.
    platform::Value text = command.argumentAtIndex(0, "", WFValueClass::String);
    std::string value = text.is_string() ? text.get<std::string>() : std::string();
    if (value.empty()) {
        respondWithStatus(command, WFResultStatus::Error);
        return std::nullopt;
    }
    return value;
}

void Utility::echo(const WFInvokedUrlCommand& command) {
    if (auto text = requireText(command)) respondWithMessage(command, *text);
}

std::vector<int> Utility::orientationsForMode(const std::string& mode) {
    if (mode == "portrait") return {UIInterfaceOrientationPortrait, UIInterfaceOrientationPortraitUpsideDown};
    if (mode == "landscape") return {UIInterfaceOrientationLandscapeLeft, UIInterfaceOrientationLandscapeRight};
    if (mode == "user" || mode == "unspecified")
        return {UIInterfaceOrientationPortrait, UIInterfaceOrientationPortraitUpsideDown,
                UIInterfaceOrientationLandscapeLeft, UIInterfaceOrientationLandscapeRight};
    return {};
}

void Utility::setOrientation(const WFInvokedUrlCommand& command) {
    auto mode = requireText(command);
    if (!mode) return;
    platform::log("PLUGIN: UTILITY: SET ORIENTATION %s", mode->c_str());
    if (auto controller = std::dynamic_pointer_cast<WFViewController>(viewController()))
        controller->setSupportedOrientations(orientationsForMode(*mode));
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::stayAwake(const WFInvokedUrlCommand& command) {
    platform::log("PLUGIN: STAY AWAKE (NOOP ON iOS)");
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::startBackgroundTask(const WFInvokedUrlCommand& command) {
    auto name = requireText(command);
    if (!name) return;
    platform::log("PLUGIN: UTILITY: START BACKGROUND TASK %s", name->c_str());
    auto& app = platform::Application::shared();
    // The handler learns its own identifier once the task has begun.
    auto identifier =
        std::make_shared<std::atomic<platform::BackgroundTaskIdentifier>>(platform::kInvalidBackgroundTask);
    platform::BackgroundTaskIdentifier id = app.beginBackgroundTask(*name, [identifier] {
        platform::BackgroundTaskIdentifier expired = identifier->exchange(platform::kInvalidBackgroundTask);
        platform::Application::shared().endBackgroundTask(expired);
        platform::log("BACKGROUND ID %" PRIu64 " EXPIRED", static_cast<uint64_t>(expired));
    });
    identifier->store(id);
    if (id == platform::kInvalidBackgroundTask) {
        // No task began: an identifier would name nothing the page could finish.
        platform::log("PLUGIN: UTILITY: BACKGROUND TASK %s REFUSED", name->c_str());
        if (auto delegate = commandDelegate())
            delegate->sendPluginResult(WFPluginResult::resultWithStatusMessageAsString(
                                           WFResultStatus::Error, "The background task was refused"),
                                       command.callbackId());
        return;
    }
    platform::log("PLUGIN: UTILITY: BACKGROUND ID FOR %s IS %" PRIu64, name->c_str(), static_cast<uint64_t>(id));
    respondWithMessage(command, std::to_string(id));
}

void Utility::finishBackgroundTask(const WFInvokedUrlCommand& command) {
    auto text = requireText(command);
    if (!text) return;
    platform::log("PLUGIN: UTILITY: FINISH BACKGROUND TASK ID=%s", text->c_str());
    const int64_t id = platform::stringIntegerValue(*text);
    if (id > 0) platform::Application::shared().endBackgroundTask(static_cast<platform::BackgroundTaskIdentifier>(id));
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::debug(const WFInvokedUrlCommand& command) {
    platform::log("PLUGIN: UTILITY: ENABLE WEBVIEW DEBUGGING (NOOP)");
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::openExternally(const std::string& url) {
    auto parsed = platform::Url::parse(url);
    if (!parsed) {
        platform::log("PLUGIN: UTILITY: CANNOT OPEN %s: not a URL", url.c_str());
        return;
    }
    WFURLOpener::shared()->openURL(*parsed);
}

void Utility::openUrl(const WFInvokedUrlCommand& command) {
    auto url = requireText(command);
    if (!url) return;
    if (url->rfind("file:", 0) == 0) {
        platform::log("PLUGIN: UTILITY: OPEN DOCUMENT FILE URL %s", url->c_str());
        openDocument(*url);
    } else {
        platform::log("PLUGIN: UTILITY: OPEN URL %s", url->c_str());
        openExternally(*url);
    }
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::openMap(const WFInvokedUrlCommand& command) {
    auto url = requireText(command);
    if (!url) return;
    platform::log("PLUGIN: UTILITY: OPEN MAP URL %s", url->c_str());
    openExternally(*url);
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::clearCache(const WFInvokedUrlCommand& command) {
    platform::log("PLUGIN: UTILITY: CLEAR CACHE");
    platform::clearWebKitCache();
    respondWithStatus(command, WFResultStatus::OK);
}

void Utility::sendNotification(const WFInvokedUrlCommand& command) { respondWithStatus(command, WFResultStatus::OK); }

void Utility::clearNotifications(const WFInvokedUrlCommand& command) { respondWithStatus(command, WFResultStatus::OK); }

platform::Value Utility::printCallbackId() const {
    std::lock_guard lock(mutex_);
    return printCallbackId_;
}

void Utility::print(const WFInvokedUrlCommand& command) {
    const platform::Value identifier = command.argumentAtIndex(2);
    uint64_t job = 0;
    {
        std::lock_guard lock(mutex_);
        printCallbackId_ = identifier;
        job = ++printJobs_;
    }
    auto engine = webViewEngine();
    platform::PrintInfo info;
    info.outputType = platform::PrintInfoOutputGeneral;
    info.orientation = platform::PrintInfoOrientationPortrait;
    info.duplex = platform::PrintInfoDuplexLongEdge;
    if (auto url = engine ? engine->URL() : std::nullopt) info.jobName = url->absoluteString();

    // The end of this job goes to the identifier it was given, once; the
    // identifier is then forgotten, unless a later print has replaced it.
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    auto completion = [weak, identifier, job](bool completed, const platform::Error* error) {
        auto self = std::static_pointer_cast<Utility>(weak.lock());
        if (!self || identifier.is_null()) return;
        self->endPrintJob(job);
        if (completed) {
            platform::log("print job finish");
            self->callbackWithStringArgs(identifier, "[ 'finish' ]", true);
        } else if (error) {
            platform::log("print job errored %s", error->description().c_str());
            self->callbackWithStringArgs(identifier, "[ 'error' ]", true);
        } else {
            platform::log("print job cancelled");
            self->callbackWithStringArgs(identifier, "[ 'cancel' ]", true);
        }
    };

    auto controller = platform::Printer::shared();
    if (!controller) {
        respondWithStatus(command, WFResultStatus::OK);
        const platform::Error error =
            platform::Error::withDescription("WharfPrintErrorDomain", 0, "Printing is not available");
        completion(false, &error);
        return;
    }
    controller->setPrintInfo(info);
    controller->setShowsPageRange(true);
    controller->setPrintFormatter(platform::PrintFormatter{engine ? engine->engineWebView() : nullptr, nullptr,
                                                           platform::doubleValue(command.argumentAtIndex(0, 0)),
                                                           platform::doubleValue(command.argumentAtIndex(1, 0))});
    controller->setDelegate(std::shared_ptr<platform::PrinterDelegate>(shared_from_this(), this));
    // The answer goes first; the dialog opens from the main loop after it.
    respondWithStatus(command, WFResultStatus::OK);
    controller->presentAnimated(true, completion);
}

void Utility::endPrintJob(uint64_t job) {
    {
        std::lock_guard lock(mutex_);
        if (job != printJobs_) return;
        printCallbackId_ = nullptr;
    }
    // Later jobs of the shared controller (another plug-in's) are none of this plug-in's business.
    auto controller = platform::Printer::shared();
    if (controller && controller->delegate().get() == static_cast<platform::PrinterDelegate*>(this))
        controller->setDelegate({});
}

void Utility::printerDidDismissPrinterOptions() {
    const platform::Value id = printCallbackId();
    if (!id.is_null()) callbackWithStringArgs(id, "[ 'start' ]", false);
}

void Utility::callbackWithStringArgs(const platform::Value& identifier, const std::string& args, bool remove) {
    auto engine = webViewEngine();
    if (!engine) return;
    const std::string id = identifier.is_string() ? identifier.get<std::string>() : platform::toJSONString(identifier);
    const std::string script =
        "window.plugins.utility._callback(" + id + ", " + (remove ? "true" : "false") + ", " + args + ")";
    engine->evaluateJavaScript(script, [](const std::string& result, const platform::Error* error) {
        platform::log("id=%s", result.c_str());
        if (error) platform::log("%s", error->description().c_str());
    });
}

void Utility::openDocument(const std::string& url) {
    auto parsed = platform::Url::parse(url);
    if (!parsed) {
        platform::log("PLUGIN: UTILITY: CANNOT OPEN DOCUMENT %s: not a URL", url.c_str());
        return;
    }
    // The new preview replaces the one shown before.
    auto controller = platform::DocumentInteractionController::interactionControllerWithURL(*parsed);
    controller->setDelegate(this);
    setViewer(controller);
    controller->presentPreviewAnimated(true);
}

GtkWidget* Utility::documentInteractionControllerViewForPreview(platform::DocumentInteractionController&) {
    auto engine = webViewEngine();
    platform::WebView* view = engine ? engine->engineWebView() : nullptr;
    return view ? view->widget() : nullptr;
}

std::shared_ptr<platform::DocumentInteractionController> Utility::viewer() const {
    std::lock_guard lock(mutex_);
    return viewer_;
}

void Utility::setViewer(std::shared_ptr<platform::DocumentInteractionController> viewer) {
    std::shared_ptr<platform::DocumentInteractionController> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(viewer_, std::move(viewer));
    }
    // The old preview closes here, outside the lock.
}

}  // namespace wharf
