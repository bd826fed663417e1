#include "host/WFStrings.h"

#include <glib.h>

#include "platform/Value.h"

namespace wharf {

std::string wf_lowercase(std::string_view text) {
    const std::string valid = platform::sanitizeUTF8(text);
    gchar* lowered = g_utf8_strdown(valid.data(), static_cast<gssize>(valid.size()));
    std::string result = lowered ? lowered : "";
    g_free(lowered);
    return result;
}

}  // namespace wharf
