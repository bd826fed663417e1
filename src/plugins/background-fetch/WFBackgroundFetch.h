#pragma once
// Gives the page one background-fetch listener, "WFBackgroundFetch", and the
// actions configure, start, stop, finish and status.
#include <atomic>
#include <string>

#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "plugins/background-fetch/BackgroundFetchManager.h"

namespace wharf {

class WFBackgroundFetch : public WFPlugin {
public:
    static constexpr const char* kListenerName = "WFBackgroundFetch";

    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFBackgroundFetch"; }

    void pluginInitialize() override { configured_ = false; }

    // Argument 0: the configuration object. Starts fetching and answers every
    // later fetch event on this call's callback (kept); nothing at once.
    void configure(const WFInvokedUrlCommand& command);
    void start(const WFInvokedUrlCommand& command);
    void stop(const WFInvokedUrlCommand& command);
    // The page's listener has found new data.
    void finish(const WFInvokedUrlCommand& command);
    void status(const WFInvokedUrlCommand& command);

    bool configured() const { return configured_; }
    // The shared manager unless one was given (tests).
    BackgroundFetchManager& manager() const;
    void setManager(BackgroundFetchManager* manager) { manager_ = manager; }

private:
    void answer(const WFInvokedUrlCommand& command, const WFPluginResult& result);

    std::atomic<bool> configured_{false};
    BackgroundFetchManager* manager_ = nullptr;
};

// Registers "WFBackgroundFetch".
void registerBackgroundFetchPlugin();

}  // namespace wharf
