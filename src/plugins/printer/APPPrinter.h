#pragma once
// The printer plug-in: prints an HTML string or a URL handed over by the
// page, laid out by an off-screen web view, through the print dialog or
// straight to a printer the page names; lets the user pick a printer; tells
// the page whether printing is available.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/Printer.h"
#include "platform/Url.h"
#include "platform/Value.h"

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
    void loadContentIntoPrintController(const std::string& content, platform::Printer& controller);
    // The off-screen web view has loaded the content: print it.
    void webViewDidFinishLoad();
    void presentPrintController(platform::Printer& controller);
    void sendToPrinter(platform::Printer& controller, const std::string& printerURL);
    void presentPrinterPicker();
    void returnPrinterPickerResult(const std::optional<std::string>& printerURL);

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
    void answerCompleted(bool completed);
    void contentFailedToLoad(const platform::Error& error);

    mutable std::mutex mutex_;
    std::optional<std::string> callbackId_;
    platform::Value settings_ = platform::Value::object();
    // The off-screen web view of the last print and what listens to its load.
    std::shared_ptr<platform::WebView> contentView_;
    std::unique_ptr<ContentLoad> contentLoad_;
    unsigned contentLoads_ = 0;  // loads begun, to tell a timer which one it was for
    std::chrono::milliseconds contentLoadTimeout_{std::chrono::seconds(60)};
};

}  // namespace wharf
