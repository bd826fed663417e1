#pragma once
// The entry of the analytics engine as the core sees it: a class found by the
// name "DORIzurizava" in platform::ClassRegistry, with the class method
// "startWithConfiguration:options:". The engine itself lives elsewhere; this
// class keeps what it was started with.
#include <functional>
#include <memory>

namespace wharf {

class DORIzurizavaConfiguration;
class NBOptions;

class DORIzurizava {
public:
    using StartFunction = void(std::shared_ptr<DORIzurizavaConfiguration>, std::shared_ptr<NBOptions>);
    static constexpr const char* kClassName = "DORIzurizava";
    static constexpr const char* kStartSelector = "startWithConfiguration:options:";

    // Starts analytics for the default app. Only the first call of the process
    // does anything; it reports no failure.
    static void startWithConfiguration(std::shared_ptr<DORIzurizavaConfiguration> configuration,
                                       std::shared_ptr<NBOptions> options);

    // Makes the class known by name (call once at launch).
    static void registerClass();

    static bool isStarted();
    // What the first start was given (null before it).
    static std::shared_ptr<DORIzurizavaConfiguration> startedConfiguration();
    static std::shared_ptr<NBOptions> startedOptions();
};

}  // namespace wharf
