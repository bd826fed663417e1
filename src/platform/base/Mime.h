#pragma once
// File types: extension ↔ MIME type through GIO content types (shared-mime-info).
#include <optional>
#include <string>

namespace wharf::platform::mime {

// "png" → "image/png"; nullopt when unknown.
std::optional<std::string> mimeTypeForExtension(const std::string& extension);
// "image/png" → "png"; nullopt when unknown.
std::optional<std::string> extensionForMimeType(const std::string& mimeType);

}  // namespace wharf::platform::mime
