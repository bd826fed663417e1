#pragma once
// The body of a custom-scheme response read from a file as WebKit takes it.
// The reads of all such bodies take turns, one at a time: WebKit reads a
// body as fast as it is given and sends the page each piece at once, and
// bodies read side by side outpace the page's side, what it has yet to take
// piling up in this process.
#include <gio/gio.h>

#include <cstdint>

#include "platform/base/FileVersion.h"
#include "platform/gui/WebView.h"

namespace wharf::platform {

// A stream of `length` bytes of the open file `fd` from `offset`; it takes
// the descriptor and closes it with itself. Every byte it gives is of
// `version`: once the file is no longer that version (written to, cut short,
// grown), or ends before `length`, a read fails instead, so that the page
// gets one whole version of the file or an error, never a mix of two.
GInputStream* newFileBodyStream(int fd, uint64_t offset, uint64_t length, const FileVersion& version);
// The stream of a response whose body is read from its file (bodyFile set):
// of the version it names (the file's now, where it names none). It takes
// the response's descriptor.
GInputStream* newFileBodyStream(SchemeResponse& response);

}  // namespace wharf::platform
