#pragma once
// Files a print job writes. WebKitGTK prints to PDF only (asked for
// PostScript or SVG it reports success and writes nothing) and in colour
// whatever GTK's settings say; a job that wants another format, or grey,
// prints to PDF first and is rendered again from that PDF here.
#include <optional>
#include <string>

namespace wharf::platform {

enum class PrintFileFormat { PDF, PostScript, SVG };

// By the file name's extension, in any case: ".pdf", ".ps", ".svg".
std::optional<PrintFileFormat> printFileFormatForPath(const std::string& path);
// By GTK's name of an output file format: "pdf", "ps", "svg".
std::optional<PrintFileFormat> printFileFormatNamed(const std::string& name);

// Writes the pages of the PDF file `pdfPath` to `fd` in `format`, in shades of
// grey when `gray` (text stays text where the format allows). Takes `fd` and
// closes it. Any thread. nullopt on success, else what went wrong.
std::optional<std::string> renderPrintedPDF(const std::string& pdfPath, PrintFileFormat format, bool gray, int fd);

}  // namespace wharf::platform
