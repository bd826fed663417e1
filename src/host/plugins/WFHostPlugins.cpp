#include "host/plugins/WFHostPlugins.h"

#include "host/WFLocalStorage.h"
#include "host/plugins/WFGestureHandler.h"
#include "host/plugins/WFHandleOpenURL.h"
#include "host/plugins/WFIntentAndNavigationFilter.h"
#include "host/plugins/WFLogger.h"

namespace wharf {

void registerHostPlugins() {
    WFRegisterPluginClass<WFIntentAndNavigationFilter>("WFIntentAndNavigationFilter");
    WFRegisterPluginClass<WFGestureHandler>("WFGestureHandler");
    WFRegisterPluginClass<WFHandleOpenURL>("WFHandleOpenURL");
    WFRegisterPluginClass<WFLogger>("WFLogger");
    WFRegisterPluginClass<WFLocalStorage>("WFLocalStorage");
}

}  // namespace wharf
