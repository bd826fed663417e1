// The entry point WebKit calls in each web process it starts for the host.
#include "WebExtension.h"

// The host passes the directories file:// loads may read (real paths) as an
// array of strings.
extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* data) {
    wharf::web_extension::confineFileLoads(extension, data);
    wharf::web_extension::openPageChannels(extension);
}
