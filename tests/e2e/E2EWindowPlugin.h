#pragma once
// A test-only plug-in that acts as the person in front of the window: takes
// screenshots of it, clicks into it, reads where the web view sits, and
// answers the next print dialog as a user would (printing to a file, or
// cancelling).
#include <string>

#include "host/WFPlugin.h"
#include "platform/base/Value.h"

namespace wharf::e2e {

class E2EWindow : public WFPlugin {
public:
    static void registerClass();
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "E2EWindow"; }

    // [path]: a PNG of the window once it has painted; answers when written.
    void screenshot(const WFInvokedUrlCommand& command);
    // [x, y]: a primary-button click at window coordinates.
    void click(const WFInvokedUrlCommand& command);
    // Answers {"x", "y", "width", "height"} of the web view within the window.
    void webViewFrame(const WFInvokedUrlCommand& command);
    // Answers the application's home directory.
    void home(const WFInvokedUrlCommand& command);
    // [{"response": "print" | "cancel", "output": file URL, "format": "pdf" |
    // "ps" | "svg"}]: answers the next print dialog or printer picker; the call
    // answers once the dialog has been answered.
    void answerPrintDialog(const WFInvokedUrlCommand& command);
};

}  // namespace wharf::e2e
