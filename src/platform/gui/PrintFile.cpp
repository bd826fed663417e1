#include "platform/gui/PrintFile.h"

#include <cairo-pdf.h>
#include <cairo-ps.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fcntl.h>
#include <poppler.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/Container.h"
#include "platform/LoadedLibrary.h"
#include "platform/ScratchFiles.h"

namespace wharf::platform {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Poppler is loaded with the first print job that needs it: linked in, it
// and the libraries it brings would be loaded with every launch, before the
// window shows (about 15 ms).
struct Poppler {
    decltype(&poppler_document_new_from_file) documentNewFromFile = nullptr;
    decltype(&poppler_document_get_n_pages) documentPageCount = nullptr;
    decltype(&poppler_document_get_page) documentPage = nullptr;
    decltype(&poppler_page_get_size) pageSize = nullptr;
    decltype(&poppler_page_render_for_printing) renderForPrinting = nullptr;
    std::string failure;  // why it is not there
};

const Poppler& poppler() {
    static const Poppler loaded = [] {
        Poppler p;
        LoadedLibrary library(WHARF_POPPLER_GLIB_LIBRARY);
        library.find(p.documentNewFromFile, "poppler_document_new_from_file");
        library.find(p.documentPageCount, "poppler_document_get_n_pages");
        library.find(p.documentPage, "poppler_document_get_page");
        library.find(p.pageSize, "poppler_page_get_size");
        library.find(p.renderForPrinting, "poppler_page_render_for_printing");
        p.failure = library.failure();
        return p;
    }();
    return loaded;
}

struct Sink {
    int fd = -1;
    int error = 0;
};

cairo_status_t writeAll(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<Sink*>(closure);
    while (length > 0) {
        const ssize_t n = ::write(sink->fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sink->error = n < 0 ? errno : EIO;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += n;
        length -= static_cast<unsigned int>(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

cairo_surface_t* newSurface(PrintFileFormat format, Sink* sink, double width, double height) {
    switch (format) {
    case PrintFileFormat::PDF: return cairo_pdf_surface_create_for_stream(&writeAll, sink, width, height);
    case PrintFileFormat::PostScript: return cairo_ps_surface_create_for_stream(&writeAll, sink, width, height);
    case PrintFileFormat::SVG: return cairo_svg_surface_create_for_stream(&writeAll, sink, width, height);
    }
    return nullptr;
}

// The document's pages, each a new reference (pages poppler cannot give are left out).
std::vector<PopplerPage*> pagesOf(const Poppler& p, PopplerDocument* document) {
    std::vector<PopplerPage*> pages;
    const int count = p.documentPageCount(document);
    for (int i = 0; i < count; ++i)
        if (PopplerPage* page = p.documentPage(document, i)) pages.push_back(page);
    return pages;
}

void setPageSize(cairo_surface_t* surface, PrintFileFormat format, double width, double height) {
    if (format == PrintFileFormat::PDF) cairo_pdf_surface_set_size(surface, width, height);
    if (format == PrintFileFormat::PostScript) cairo_ps_surface_set_size(surface, width, height);
}

void renderPage(const Poppler& p, cairo_t* cr, PopplerPage* page, bool gray) {
    if (!gray) {
        p.renderForPrinting(page, cr);
        return;
    }
    // The page on white paper, then its saturation taken away: every colour
    // becomes the grey of its lightness, and text and shapes stay what they are.
    cairo_push_group(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    p.renderForPrinting(page, cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_HSL_SATURATION);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_pop_group_to_source(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint(cr);
}

constexpr const char* kPrintScratch = "print";
// A file written beside its target; the pages WebKit prints to be rendered
// again, in the application's tmp directory.
constexpr ScratchName kBesideTarget{".wharf-print-", "", ScratchPlace::BesideTarget};
constexpr ScratchName kPrintedPages{"print-", ".pdf", ScratchPlace::ApplicationTmp};

}  // namespace

std::optional<std::string> createPrintedPagesFile(std::string& path) {
    const std::string directory = Container::tmpPath();
    const FileDescriptor dir(
        Container::ensureDirectory(directory) ? ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    std::string name;
    const FileDescriptor fd =
        dir ? createScratchFile(kPrintScratch, dir.get(), directory, kPrintedPages, 0600, name) : FileDescriptor();
    if (!fd) return "No room for the printed pages in " + directory + ": " + g_strerror(errno);
    path = directory + "/" + name;
    return std::nullopt;
}

std::size_t removePrintLeftovers() { return removeScratchLeftovers(kPrintScratch, {kBesideTarget, kPrintedPages}); }

std::optional<PrintFileFormat> printFileFormatForPath(const std::string& path) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    return printFileFormatNamed(lower(path.substr(dot + 1)));
}

std::optional<PrintFileFormat> printFileFormatNamed(const std::string& name) {
    if (name == "pdf") return PrintFileFormat::PDF;
    if (name == "ps") return PrintFileFormat::PostScript;
    if (name == "svg") return PrintFileFormat::SVG;
    return std::nullopt;
}

std::optional<std::string> renderPrintedPDF(const std::string& pdfPath, PrintFileFormat format, bool gray, int fd) {
    const Poppler& p = poppler();
    if (!p.failure.empty()) {
        std::string why = "The printed pages cannot be read: ";
        why += p.failure;
        return why;
    }
    Sink sink{fd, 0};
    GError* error = nullptr;
    gchar* uri = g_filename_to_uri(pdfPath.c_str(), nullptr, &error);
    PopplerDocument* document = uri ? p.documentNewFromFile(uri, nullptr, &error) : nullptr;
    g_free(uri);
    if (!document) {
        std::string why = std::string("The printed pages cannot be read: ") + (error ? error->message : "no document");
        if (error) g_error_free(error);
        return why;
    }
    std::optional<std::string> failure;
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    const std::vector<PopplerPage*> pages = pagesOf(p, document);
    std::vector<std::pair<double, double>> sizes(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) p.pageSize(pages[i], &sizes[i].first, &sizes[i].second);
    if (format == PrintFileFormat::SVG && !pages.empty()) {
        // An SVG surface keeps one page only (each new page drops the one
        // before): the pages go one below another on one page as tall as all
        // of them, each drawn as a group of its own.
        double width = 0, height = 0;
        for (const auto& [w, h] : sizes) {
            width = std::max(width, w);
            height += h;
        }
        surface = newSurface(format, &sink, width, height);
        cr = cairo_create(surface);
        double top = 0;
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const cairo_rectangle_t extents{0, 0, sizes[i].first, sizes[i].second};
            cairo_surface_t* recording = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &extents);
            cairo_t* pageContext = cairo_create(recording);
            renderPage(p, pageContext, pages[i], gray);
            cairo_destroy(pageContext);
            cairo_set_source_surface(cr, recording, 0, top);
            cairo_paint(cr);
            cairo_surface_destroy(recording);
            top += sizes[i].second;
        }
    } else {
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const auto [width, height] = sizes[i];
            if (!surface) {
                surface = newSurface(format, &sink, width, height);
                cr = cairo_create(surface);
            } else {
                setPageSize(surface, format, width, height);
            }
            renderPage(p, cr, pages[i], gray);
            cairo_show_page(cr);
        }
    }
    for (PopplerPage* page : pages) g_object_unref(page);
    if (!surface) {
        failure = "The printed document has no pages";
    } else {
        cairo_destroy(cr);
        cairo_surface_finish(surface);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS)
            failure = std::string("The printed file cannot be written: ") +
                      (sink.error ? g_strerror(sink.error) : cairo_status_to_string(cairo_surface_status(surface)));
        cairo_surface_destroy(surface);
    }
    g_object_unref(document);
    return failure;
}

PrintTarget::PrintTarget(const std::string& path, bool confined) : confined_(confined) {
    std::string target = path;
    // A file the user chose through a link is the file the link names.
    if (char resolved[PATH_MAX]; !confined && ::realpath(path.c_str(), resolved)) target = resolved;
    const auto slash = target.rfind('/');
    if (slash == std::string::npos || slash + 1 == target.size()) {
        failure_ = "The printed file cannot be written: not a file path";
        return;
    }
    name_ = target.substr(slash + 1);
    const std::string directory = slash == 0 ? "/" : target.substr(0, slash);
    directory_ = FileDescriptor(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_)
        fd_ = createScratchFile(kPrintScratch, directory_.get(), directory, kBesideTarget, 0644, temporaryName_);
    if (!fd_) {
        failure_ = std::string("The printed file cannot be written: ") + g_strerror(errno);
        temporaryName_.clear();
        return;
    }
    temporaryPath_ = directory + "/" + temporaryName_;
}

PrintTarget::~PrintTarget() {
    fd_.reset();
    if (!temporaryName_.empty()) ::unlinkat(directory_.get(), temporaryName_.c_str(), 0);
}

std::optional<std::string> PrintTarget::commit() {
    if (temporaryName_.empty()) return failure_;
    auto fail = [](const char* why) { return std::string("The printed file cannot be written: ") + why; };
    if (fd_ && ::close(fd_.release()) != 0) return fail(g_strerror(errno));
    // What is there now may have been written in place of our file by name
    // (GTK's print-to-file does): it is what gets synced and renamed.
    const FileDescriptor written(::openat(directory_.get(), temporaryName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!written) return fail(g_strerror(errno));
    struct stat replaced {};
    std::optional<std::string> failure;
    if (::fstatat(directory_.get(), name_.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0) {
        if (confined_ && S_ISLNK(replaced.st_mode))
            failure = fail("a link");
        else if (::faccessat(directory_.get(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
            failure = fail(g_strerror(errno));  // a file we may not write stays as it is
        else if (S_ISREG(replaced.st_mode))
            ::fchmod(written.get(), replaced.st_mode & 07777);
    }
    if (!failure && ::fsync(written.get()) != 0) failure = fail(g_strerror(errno));
    if (!failure && ::renameat(directory_.get(), temporaryName_.c_str(), directory_.get(), name_.c_str()) != 0)
        failure = fail(g_strerror(errno));
    if (!failure) temporaryName_.clear();
    return failure;
}

}  // namespace wharf::platform
