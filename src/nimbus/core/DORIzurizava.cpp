#include "nimbus/core/DORIzurizava.h"

#include <mutex>

#include "nimbus/core/DORIzurizavaConfiguration.h"
#include "nimbus/core/NBOptions.h"
#include "platform/base/ClassRegistry.h"

namespace wharf {

namespace {
std::mutex gMutex;
bool gStarted = false;
std::shared_ptr<DORIzurizavaConfiguration> gConfiguration;
std::shared_ptr<NBOptions> gOptions;
}  // namespace

void DORIzurizava::startWithConfiguration(std::shared_ptr<DORIzurizavaConfiguration> configuration,
                                          std::shared_ptr<NBOptions> options) {
    std::lock_guard lock(gMutex);
    if (gStarted) return;
    gStarted = true;
    gConfiguration = std::move(configuration);
    gOptions = std::move(options);
}

void DORIzurizava::registerClass() {
    auto& registry = platform::ClassRegistry::shared();
    registry.registerClassMethod<StartFunction>(kClassName, kStartSelector,
                                                std::function<StartFunction>(&DORIzurizava::startWithConfiguration));
}

bool DORIzurizava::isStarted() {
    std::lock_guard lock(gMutex);
    return gStarted;
}

std::shared_ptr<DORIzurizavaConfiguration> DORIzurizava::startedConfiguration() {
    std::lock_guard lock(gMutex);
    return gConfiguration;
}

std::shared_ptr<NBOptions> DORIzurizava::startedOptions() {
    std::lock_guard lock(gMutex);
    return gOptions;
}

}  // namespace wharf
