#pragma once
// The application's own small services for the page. Every action answers
// once on the call's callback: 1 ("OK"), or 9 ("Error") for a missing, empty
// or non-text argument where text is expected.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "platform/device/Printer.h"
#include "platform/gui/DocumentInteractionController.h"

namespace wharf {

class Utility : public WFPlugin,
                public platform::DocumentInteractionControllerDelegate,
                public platform::PrinterDelegate {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "Utility"; }

    void echo(const WFInvokedUrlCommand& command);
    void setOrientation(const WFInvokedUrlCommand& command);
    void stayAwake(const WFInvokedUrlCommand& command);
    void startBackgroundTask(const WFInvokedUrlCommand& command);
    void finishBackgroundTask(const WFInvokedUrlCommand& command);
    void debug(const WFInvokedUrlCommand& command);
    void openUrl(const WFInvokedUrlCommand& command);
    void openMap(const WFInvokedUrlCommand& command);
    void clearCache(const WFInvokedUrlCommand& command);
    void sendNotification(const WFInvokedUrlCommand& command);
    void clearNotifications(const WFInvokedUrlCommand& command);
    // Prints the page through the print dialog; answers at once and reports
    // the job's progress through "window.plugins.utility._callback".
    void print(const WFInvokedUrlCommand& command);

    void respondWithStatus(const WFInvokedUrlCommand& command, WFResultStatus status);
    void respondWithMessage(const WFInvokedUrlCommand& command, const std::string& message);
    // Shows the document in a preview over the application's window.
    void openDocument(const std::string& url);

    // The orientations a mode allows ("portrait", "landscape", "user",
    // "unspecified"; exact case), as interface-orientation numbers.
    static std::vector<int> orientationsForMode(const std::string& mode);

    GtkWidget* documentInteractionControllerViewForPreview(
        platform::DocumentInteractionController& controller) override;

    // Evaluates "window.plugins.utility._callback(<identifier>, <remove>, <args>)"
    // in the page, the identifier's text unquoted.
    void callbackWithStringArgs(const platform::Value& identifier, const std::string& args, bool remove);
    void printerDidDismissPrinterOptions() override;
    // The identifier the page gave the running print job (null: none).
    platform::Value printCallbackId() const;

    std::shared_ptr<platform::DocumentInteractionController> viewer() const;
    void setViewer(std::shared_ptr<platform::DocumentInteractionController> viewer);

private:
    // Print job `job` has ended: its identifier is forgotten when no later job replaced it.
    void endPrintJob(uint64_t job);
    // Argument 0 as non-empty text; otherwise answers 9 and gives nullopt.
    std::optional<std::string> requireText(const WFInvokedUrlCommand& command);
    // Hands the URL to the application that opens its kind.
    void openExternally(const std::string& url);

    mutable std::mutex mutex_;
    std::shared_ptr<platform::DocumentInteractionController> viewer_;
    platform::Value printCallbackId_;
    uint64_t printJobs_ = 0;  // print jobs begun: the number of the last
};

// Registers "Utility".
void registerUtilityPlugin();

}  // namespace wharf
