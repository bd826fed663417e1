#pragma once
// Files a print job writes. WebKitGTK prints to PDF only (asked for
// PostScript or SVG it reports success and writes nothing) and in colour
// whatever GTK's settings say; a job that wants another format, or grey,
// prints to PDF first and is rendered again from that PDF here.
#include <cstddef>
#include <optional>
#include <string>

#include "platform/base/FileDescriptor.h"

namespace wharf::platform {

enum class PrintFileFormat { PDF, PostScript, SVG };

// By the file name's extension, in any case: ".pdf", ".ps", ".svg".
std::optional<PrintFileFormat> printFileFormatForPath(const std::string& path);
// By GTK's name of an output file format: "pdf", "ps", "svg".
std::optional<PrintFileFormat> printFileFormatNamed(const std::string& name);

// Writes the pages of the PDF file `pdfPath` to `fd` in `format`, in shades of
// grey when `gray` (text stays text where the format allows). An SVG file
// holds one page: the pages stand one below another on it, each drawn as a
// group of its own. `fd` stays open. Any thread. nullopt on success, else
// what went wrong.
std::optional<std::string> renderPrintedPDF(const std::string& pdfPath, PrintFileFormat format, bool gray, int fd);

// A new file in the application's tmp directory for the pages WebKit prints
// before they are rendered again: nullopt with its path in `path`, else what
// went wrong. Its maker removes it once done; a process killed first leaves
// it to removePrintLeftovers().
std::optional<std::string> createPrintedPagesFile(std::string& path);

// Removes what prints of processes that have ended (killed mid-print) left:
// the files written beside targets and the printed pages in the tmp
// directory; a print another running process is making is left alone. Any
// thread. The number of files removed.
std::size_t removePrintLeftovers();

// A file a print job replaces only once it is complete: the pages are written
// to a new file beside the target, which takes the target's place (and the
// permissions of a file it replaces) in one rename. Until then the target is
// left as it was; a job that fails leaves nothing behind, and one its
// process did not live to finish is removed by the next start.
class PrintTarget {
public:
    // `confined`: the target itself must not be a link (one there is never
    // followed, and refuses the job). The directory is opened here.
    PrintTarget(const std::string& path, bool confined);
    ~PrintTarget();  // discards what was not committed
    PrintTarget(const PrintTarget&) = delete;
    PrintTarget& operator=(const PrintTarget&) = delete;

    // The new file, open for writing, or -1 (then failure() says why).
    int fd() const { return fd_.get(); }
    const std::string& temporaryPath() const { return temporaryPath_; }
    const std::string& failure() const { return failure_; }
    // Puts the written file in the target's place: nullopt on success, else
    // what went wrong (the target then stays as it was).
    std::optional<std::string> commit();

private:
    std::string name_;
    std::string temporaryName_;
    std::string temporaryPath_;
    std::string failure_;
    bool confined_ = true;
    FileDescriptor directory_;
    FileDescriptor fd_;
};

}  // namespace wharf::platform
