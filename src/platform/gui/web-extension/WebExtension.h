#pragma once
// The host's extension of WebKit's web process, loaded into every web process
// of the host's web context.
#include <webkit2/webkit-web-extension.h>

namespace wharf::web_extension {

// Refuses file:// loads outside the directories `roots` names (an array of
// real paths); without them, every file:// load.
void confineFileLoads(WebKitWebExtension* extension, const GVariant* roots);

// Opens the channel between the host and the bridge of every page's main
// frame (PageChannel.h).
void openPageChannels(WebKitWebExtension* extension);

}  // namespace wharf::web_extension
