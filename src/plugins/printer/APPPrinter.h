#pragma once
// The printer plug-in: prints an HTML string or a URL handed over by the
// page, laid out by an off-screen web view, through the print dialog or
// straight to a printer the page names; lets the user pick a printer; tells
// the page whether printing is available.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"
#include "platform/device/Printer.h"

namespace wharf {

namespace platform {
class WebView;
}

// Registers "APPPrinter".
void registerPrinterPlugin();

class APPPrinter : public WFPlugin {
public:
    ~APPPrinter() override;

    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "APPPrinter"; }

    // --- Actions ------------------------------------------------------------
    void check(const WFInvokedUrlCommand& command);
    void pick(const WFInvokedUrlCommand& command);
    void print(const WFInvokedUrlCommand& command);

    // --- Operations ---------------------------------------------------------
    static bool isPrintingAvailable();
    static std::shared_ptr<platform::Printer> printController();
    platform::Printer& adjustPrintControllerWithSettings(platform::Printer& controller,
                                                         const platform::Value& settings);
    // Each print lays its content out in an off-screen web view of its own:
    // a print that comes while an earlier one still loads leaves that one to
    // print too, and to answer its own call.
    void loadContentIntoPrintController(const std::string& content, platform::Printer& controller);
    // The off-screen web view of print job `job` has loaded its content: print it.
    void webViewDidFinishLoad(unsigned job);
    // Each job answers the call that asked for it, however many follow it.
    void presentPrintController(platform::Printer& controller, const std::optional<std::string>& callbackId);
    void sendToPrinter(platform::Printer& controller, const std::string& printerURL,
                       const std::optional<std::string>& callbackId);
    void presentPrinterPicker(const std::optional<std::string>& callbackId);
    void returnPrinterPickerResult(const std::optional<std::string>& printerURL,
                                   const std::optional<std::string>& callbackId);

    // The content as a URL to load: an absolute URL without the characters a
    // URL never holds (white space, "<", ">", quotes...). Anything else is HTML.
    static std::optional<platform::Url> contentURL(const std::string& content);

    std::optional<std::string> callbackId() const;
    platform::Value settings() const;

    // How long content may take to load before the print gives up on what
    // has not arrived (a minute, as the phone's requests wait).
    void setContentLoadTimeout(std::chrono::milliseconds timeout) { contentLoadTimeout_ = timeout; }

private:
    class ContentLoad;
    // A print whose content is loading: its web view, what listens to the
    // load, and the call and settings it was asked with.
    struct PendingPrint {
        std::shared_ptr<platform::WebView> view;
        std::unique_ptr<ContentLoad> load;
        platform::Value settings;
        std::optional<std::string> callbackId;
    };
    void answerCompleted(bool completed, const std::optional<std::string>& callbackId);
    void contentFailedToLoad(unsigned job, const platform::Error& error);
    // The job's load is over: it leaves the pending ones (from the main loop,
    // not from inside its own load's callback).
    void forget(unsigned job);
    PendingPrint* pending(unsigned job);

    mutable std::mutex mutex_;
    std::optional<std::string> callbackId_;
    platform::Value settings_ = platform::Value::object();
    std::map<unsigned, PendingPrint> pending_;  // main thread only
    unsigned contentLoads_ = 0;  // loads begun: each job's number
    std::chrono::milliseconds contentLoadTimeout_{std::chrono::seconds(60)};
};

}  // namespace wharf
