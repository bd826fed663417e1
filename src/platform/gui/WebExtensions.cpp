#include "platform/gui/WebExtensions.h"

#include <unistd.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <system_error>

#include "platform/base/Error.h"

#ifndef WHARF_WEB_EXTENSIONS_BUILD_DIR
#define WHARF_WEB_EXTENSIONS_BUILD_DIR ""
#endif

namespace wharf::platform {

namespace {

constexpr const char* kExtensionFile = "libwharf-web-extension.so";

std::string executablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

}  // namespace

std::string findWebExtensionsDirectory(const std::string& executable) {
    namespace fs = std::filesystem;
    std::vector<fs::path> candidates;
    if (!executable.empty())
        candidates.push_back(fs::path(executable).parent_path().parent_path() / "lib" / "wharf" / "web-extensions");
    if (*WHARF_WEB_EXTENSIONS_BUILD_DIR) candidates.emplace_back(WHARF_WEB_EXTENSIONS_BUILD_DIR);
    for (const auto& dir : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(dir / kExtensionFile, ec)) return fs::canonical(dir, ec).string();
    }
    return {};
}

void confineFileLoads(WebKitWebContext* context, const std::vector<std::string>& roots) {
    const std::string directory = findWebExtensionsDirectory(executablePath());
    if (directory.empty())
        throw FatalConfigurationError(std::string("ERROR: the web-process extension ") + kExtensionFile +
                                      " was not found next to the executable nor in the build tree; pages "
                                      "cannot be confined to the application.");
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
    for (const auto& root : roots) g_variant_builder_add(&builder, "s", root.c_str());
    webkit_web_context_set_web_extensions_directory(context, directory.c_str());
    webkit_web_context_set_web_extensions_initialization_user_data(context, g_variant_builder_end(&builder));
}

}  // namespace wharf::platform
