#pragma once
// The web-process extension, which confines a page's file:// loads to the
// application (its bundle and its home) and carries the bridge's page channel.
// Used by the WebKit adapter when it creates the web context.
#include <string>
#include <vector>

typedef struct _WebKitWebContext WebKitWebContext;

namespace wharf::platform {

// The directory holding the extension: next to an installed binary
// ("<prefix>/bin/x" → "<prefix>/lib/wharf/web-extensions"), else the build
// tree's. Empty when neither holds it.
std::string findWebExtensionsDirectory(const std::string& executablePath);

// Loads the extension into the context's web processes with `roots` (real
// paths) as the only directories pages may read files from; their pages then
// have the page channel. Throws
// FatalConfigurationError when the extension cannot be found: the host does
// not show pages unconfined.
void confineFileLoads(WebKitWebContext* context, const std::vector<std::string>& roots);

}  // namespace wharf::platform
