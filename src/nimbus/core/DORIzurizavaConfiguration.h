#pragma once
// The analytics configuration object of the process, handed unchanged to the
// analytics start.
#include <memory>

namespace wharf {

class DORIzurizavaConfiguration {
public:
    // The one instance, created on first use.
    static std::shared_ptr<DORIzurizavaConfiguration> sharedInstance();

    DORIzurizavaConfiguration(const DORIzurizavaConfiguration&) = delete;
    DORIzurizavaConfiguration& operator=(const DORIzurizavaConfiguration&) = delete;

private:
    DORIzurizavaConfiguration() = default;
};

}  // namespace wharf
