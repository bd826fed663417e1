#pragma once
// The desktop's print controller: WebKitGTK's print operation with GTK's
// print settings, GTK's print dialog, and GTK's print-to-file printer for
// "file:" URLs ending in ".pdf", ".ps" or ".svg". A page may name a file only
// inside the application's home, and never through a link; a file the user
// chose in the printer picker is allowed wherever it is.
namespace wharf::platform {

// Makes it the shared print controller. Main thread, GTK initialised.
void installWebKitPrinter();

}  // namespace wharf::platform
