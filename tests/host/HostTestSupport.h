#pragma once
// A plug-in whose actions tests drive, and helpers for building batches.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Clock.h"

namespace wharf::test {

// Actions: "record" appends its first argument to calls(); "echo" answers OK
// with its first argument; "work" advances the clock by its first argument
// (milliseconds) and records; "hook" runs onHook; "fail" throws.
class RecordingPlugin : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    void record(const WFInvokedUrlCommand& command);
    void echo(const WFInvokedUrlCommand& command);
    void work(const WFInvokedUrlCommand& command);
    void hook(const WFInvokedUrlCommand& command);
    void fail(const WFInvokedUrlCommand& command);

    void onReset() override { ++resets; }

    std::vector<std::string> calls;
    std::vector<WFInvokedUrlCommand> commands;
    std::shared_ptr<platform::ManualClock> clock;
    std::function<void(const WFInvokedUrlCommand&)> onHook;
    int resets = 0;
};

// One batch entry as JSON text.
std::string entry(const std::string& callbackId, const std::string& service, const std::string& action,
                  const std::string& argumentsJSON = "[]");
// A batch of entries.
std::string batch(const std::vector<std::string>& entries);

}  // namespace wharf::test
