#pragma once
// Registration of the host's built-in plug-ins.

namespace wharf {

// Registers every built-in plug-in class in platform::ClassRegistry under its
// class name: WFIntentAndNavigationFilter, WFGestureHandler, WFHandleOpenURL,
// WFLogger and WFLocalStorage. Safe to call more than once.
void registerHostPlugins();

}  // namespace wharf
