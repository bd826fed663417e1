#include "nimbus/core/DORIzurizavaConfiguration.h"

namespace wharf {

std::shared_ptr<DORIzurizavaConfiguration> DORIzurizavaConfiguration::sharedInstance() {
    static const std::shared_ptr<DORIzurizavaConfiguration> instance(new DORIzurizavaConfiguration());
    return instance;
}

}  // namespace wharf
