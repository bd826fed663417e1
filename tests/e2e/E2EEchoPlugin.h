#pragma once
// A test-only plug-in for the end-to-end tests: echoes what the page sends
// (answers, errors, kept callbacks, byte buffers), counts page resets, records
// open-URL notifications, writes the page's report and ends the host.
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"

namespace wharf::e2e {

class E2EEcho : public WFPlugin {
public:
    static void registerClass();
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "E2EEcho"; }

    void echo(const WFInvokedUrlCommand& command);
    void echoError(const WFInvokedUrlCommand& command);
    void keep(const WFInvokedUrlCommand& command);
    void echoArrayBuffer(const WFInvokedUrlCommand& command);
    void resets(const WFInvokedUrlCommand& command);
    void openEvents(const WFInvokedUrlCommand& command);
    void fail(const WFInvokedUrlCommand& command);
    // Has its first argument evaluated in the page, answers its second, and
    // has its third evaluated.
    void evalAroundEcho(const WFInvokedUrlCommand& command);
    // The host's resident size and its peak since the last reset, in bytes,
    // and its open descriptors: {"rss", "peak", "fds"}. A first argument
    // true resets the peak first.
    void memory(const WFInvokedUrlCommand& command);
    // Writes the first argument (text) to "<home>/e2e-report.json".
    void record(const WFInvokedUrlCommand& command);
    // Ends the host with the first argument as its status.
    void finish(const WFInvokedUrlCommand& command);

    void onReset() override { ++resetCount_; }
    void handleOpenURL(const platform::Notification& notification) override;
    void handleOpenURLWithApplicationSourceAndAnnotation(const platform::Notification& notification) override;

private:
    void answer(const WFInvokedUrlCommand& command, const WFPluginResult& result);

    int resetCount_ = 0;
    std::vector<std::string> openEvents_;
};

}  // namespace wharf::e2e
