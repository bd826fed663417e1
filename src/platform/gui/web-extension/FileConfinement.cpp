// Refuses each file:// request (the page, a frame, a sub-resource, an XHR)
// whose real path, with links and dot segments resolved, lies outside the
// directories the host allowed. WebKit reads file:// URLs in its network
// process, which its own sandbox leaves unconfined; this is where a page's
// loads can still be stopped.
#include "WebExtension.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace wharf::web_extension {

namespace {

std::vector<std::string> gRoots;

bool insideRoots(const std::string& path) {
    for (const std::string& root : gRoots) {
        if (root == "/") return true;
        if (path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
            (path.size() == root.size() || path[root.size()] == '/'))
            return true;
    }
    return false;
}

// The path a file:// URI names, percent-decoded; empty when it names none the
// network process could read (another host, an encoded NUL, no path).
std::string pathOf(const char* uri) {
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr);
    if (!parsed) return {};
    std::string path;
    const char* host = g_uri_get_host(parsed);
    const char* encoded = g_uri_get_path(parsed);
    if ((!host || !*host || g_ascii_strcasecmp(host, "localhost") == 0) && encoded && *encoded) {
        if (char* decoded = g_uri_unescape_string(encoded, nullptr)) {
            path = decoded;
            g_free(decoded);
        }
    }
    g_uri_unref(parsed);
    return path;
}

bool missing(int error) { return error == ENOENT || error == ENOTDIR; }

bool hasDotSegment(const std::string& path) {
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") return true;
        start = end + 1;
    }
    return false;
}

// A path that names nothing, not even a dangling link, below a directory
// inside the roots: its load fails by itself in the network process, with
// the error the page (or the host's error page) should see.
bool missingInsideRoots(const std::string& path) {
    std::string child = path;
    for (;;) {
        const auto slash = child.find_last_of('/');
        if (slash == std::string::npos) return false;
        const std::string parent = slash == 0 ? "/" : child.substr(0, slash);
        char resolved[PATH_MAX];
        if (realpath(parent.c_str(), resolved)) {
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 || !missing(errno)) return false;
            return insideRoots(resolved);
        }
        if (!missing(errno) || parent == "/") return false;
        child = parent;
    }
}

bool allowed(const char* uri) {
    if (!uri || g_ascii_strncasecmp(uri, "file:", 5) != 0) return true;
    const std::string path = pathOf(uri);
    // WebKit's URL parser has taken dot segments out; one left after decoding
    // came from an escaped slash ("a%2F..%2F"). The network process drops it
    // with the segment before it as written, before any link is followed, so
    // resolved here through a link it could name a file somewhere else.
    if (path.empty() || hasDotSegment(path)) return false;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return insideRoots(resolved);
    return missing(errno) && missingInsideRoots(path);
}

gboolean onSendRequest(WebKitWebPage*, WebKitURIRequest* request, WebKitURIResponse*, gpointer) {
    const char* uri = webkit_uri_request_get_uri(request);
    if (allowed(uri)) return FALSE;
    g_printerr("Refused a load outside the application: %s\n", uri);
    return TRUE;  // the request is not sent
}

void onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
    g_signal_connect(page, "send-request", G_CALLBACK(&onSendRequest), nullptr);
}

}  // namespace

void confineFileLoads(WebKitWebExtension* extension, const GVariant* roots) {
    if (roots && g_variant_is_of_type(const_cast<GVariant*>(roots), G_VARIANT_TYPE_STRING_ARRAY)) {
        gsize count = 0;
        const gchar** paths = g_variant_get_strv(const_cast<GVariant*>(roots), &count);
        for (gsize i = 0; i < count; ++i)
            if (paths[i] && paths[i][0] == '/') gRoots.emplace_back(paths[i]);
        g_free(paths);
    }
    g_signal_connect(extension, "page-created", G_CALLBACK(&onPageCreated), nullptr);
}

}  // namespace wharf::web_extension
