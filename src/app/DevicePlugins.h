#pragma once

namespace wharf {

// Registers the plug-in classes of every device plug-in library in the build.
void registerDevicePlugins();

}  // namespace wharf
