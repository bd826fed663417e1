#include "platform/gui/WebKitPrinter.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/base/Log.h"
#include "platform/base/Paths.h"
#include "platform/base/Url.h"
#include "platform/device/Printer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/PrintFile.h"
#include "platform/gui/WebView.h"
#include "platform/storage/Container.h"

namespace wharf::platform {

namespace {

constexpr const char* kPrintErrorDomain = "WharfPrintErrorDomain";

// GTK names its print-to-file printer in the user's language.
const char* fileprinterName() { return g_dgettext("gtk30", "Print to File"); }

Error printError(int64_t code, const std::string& description) {
    return Error::withDescription(kPrintErrorDomain, code, description);
}

GtkPageOrientation pageOrientation(const PrintInfo& info) {
    return info.orientation == PrintInfoOrientationLandscape ? GTK_PAGE_ORIENTATION_LANDSCAPE
                                                             : GTK_PAGE_ORIENTATION_PORTRAIT;
}

bool grayOutput(const PrintInfo& info) {
    return info.outputType == PrintInfoOutputGrayscale || info.outputType == PrintInfoOutputPhotoGrayscale;
}

// New references.
GtkPrintSettings* settingsFor(const PrintInfo& info) {
    GtkPrintSettings* settings = gtk_print_settings_new();
    gtk_print_settings_set_orientation(settings, pageOrientation(info));
    // CUPS prints "horizontal" duplex on the long edge of a portrait page.
    gtk_print_settings_set_duplex(settings, info.duplex == PrintInfoDuplexLongEdge    ? GTK_PRINT_DUPLEX_HORIZONTAL
                                            : info.duplex == PrintInfoDuplexShortEdge ? GTK_PRINT_DUPLEX_VERTICAL
                                                                                      : GTK_PRINT_DUPLEX_SIMPLEX);
    const bool gray = grayOutput(info);
    const bool photo = info.outputType == PrintInfoOutputPhoto || info.outputType == PrintInfoOutputPhotoGrayscale;
    gtk_print_settings_set_use_color(settings, !gray);
    gtk_print_settings_set_quality(settings, photo ? GTK_PRINT_QUALITY_HIGH : GTK_PRINT_QUALITY_NORMAL);
    return settings;
}

GtkPageSetup* pageSetupFor(const PrintInfo& info) {
    GtkPageSetup* setup = gtk_page_setup_new();
    gtk_page_setup_set_orientation(setup, pageOrientation(info));
    return setup;
}

bool inside(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

// The CUPS queue a printer URL names: what follows "/printers/", else the
// last part of the path.
std::string queueName(const Url& url) {
    std::string path = url.path();
    const auto marker = path.find("/printers/");
    if (marker != std::string::npos) path = path.substr(marker + 10);
    while (!path.empty() && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The window a dialog belongs to: the one showing the content, else the application's.
GtkWindow* parentWindow(WebView* view) {
    if (view && view->widget()) {
        GtkWidget* top = gtk_widget_get_toplevel(view->widget());
        if (GTK_IS_WINDOW(top) && gtk_widget_is_toplevel(top)) return GTK_WINDOW(top);
    }
    GList* windows = gtk_window_list_toplevels();
    GtkWindow* found = nullptr;
    for (GList* l = windows; l && !found; l = l->next)
        if (GTK_IS_APPLICATION_WINDOW(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            found = GTK_WINDOW(l->data);
    g_list_free(windows);
    return found;
}

// One print operation: keeps the content alive until WebKit is done with it.
struct Job {
    WebKitPrintOperation* operation = nullptr;
    std::shared_ptr<WebView> owner;
    PrintCompletion completion;
    std::optional<Error> error;
};

void finishJob(Job* job, bool completed, const Error* error) {
    std::unique_ptr<Job> owned(job);
    if (job->operation) g_object_unref(job->operation);
    if (!job->completion) return;
    try {
        job->completion(completed, error);
    } catch (const std::exception& e) {
        log("Print completion threw: %s", e.what());
    }
}

void completeLater(PrintCompletion completion, std::optional<Error> error) {
    RunLoop::performOnMain([completion = std::move(completion), error = std::move(error)] {
        if (completion) completion(false, error ? &*error : nullptr);
    });
}

// Takes over `settings` and `setup`.
void runJob(const PrintFormatter& formatter, GtkPrintSettings* settings, GtkPageSetup* setup,
            PrintCompletion completion) {
    GtkWidget* widget = formatter.view ? formatter.view->widget() : nullptr;
    if (!widget || !WEBKIT_IS_WEB_VIEW(widget)) {
        g_object_unref(settings);
        g_object_unref(setup);
        completeLater(std::move(completion), printError(1, "There is nothing to print"));
        return;
    }
    auto* job = new Job{webkit_print_operation_new(WEBKIT_WEB_VIEW(widget)), formatter.owner, std::move(completion),
                        std::nullopt};
    webkit_print_operation_set_print_settings(job->operation, settings);
    webkit_print_operation_set_page_setup(job->operation, setup);
    g_object_unref(settings);
    g_object_unref(setup);
    // WebKit reports a failure first, then the end of the operation.
    g_signal_connect(job->operation, "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* e, gpointer data) {
                         auto* job = static_cast<Job*>(data);
                         job->error = printError(e ? e->code : 2, e && e->message ? e->message : "Printing failed");
                         log("Printing failed: %s", job->error->localizedDescription().c_str());
                     }),
                     job);
    g_signal_connect(job->operation, "finished", G_CALLBACK(+[](WebKitPrintOperation* op, gpointer data) {
                         auto* job = static_cast<Job*>(data);
                         g_signal_handlers_disconnect_by_data(op, data);
                         finishJob(job, !job->error, job->error ? &*job->error : nullptr);
                     }),
                     job);
    webkit_print_operation_print(job->operation);
}

// The file a print-to-file job writes.
struct FileTarget {
    std::string path;
    PrintFileFormat format = PrintFileFormat::PDF;
    bool gray = false;
    // Named by the page: the file is written without following a link.
    bool confined = true;
};

void completeOnMain(PrintCompletion completion, std::optional<std::string> failure) {
    RunLoop::performOnMain([completion = std::move(completion), failure = std::move(failure)] {
        try {
            if (!failure) return completion(true, nullptr);
            const Error error = printError(5, *failure);
            completion(false, &error);
        } catch (const std::exception& e) {
            log("Print completion threw: %s", e.what());
        }
    });
}

// Writes what WebKit printed to `pdf` into the target, then removes `pdf`.
void renderInto(const FileTarget& target, const std::string& pdf, PrintCompletion completion) {
    dispatch::globalQueue()->async([target, pdf, completion = std::move(completion)] {
        std::optional<std::string> failure;
        {
            PrintTarget out(target.path, target.confined);
            failure = out.fd() < 0 ? out.failure() : renderPrintedPDF(pdf, target.format, target.gray, out.fd());
            if (!failure) failure = out.commit();
        }
        ::unlink(pdf.c_str());
        if (failure) log("Printing to %s failed: %s", target.path.c_str(), failure->c_str());
        completeOnMain(completion, failure);
    });
}

// Prints to a file through GTK's print-to-file printer. WebKit writes PDF in
// colour only: another format, or grey, is printed to a PDF of our own first
// and rendered again from it. Either way the file takes the target's place
// only once it is whole. Takes over `settings` and `setup`.
void runFileJob(const PrintFormatter& formatter, GtkPrintSettings* settings, GtkPageSetup* setup,
                const FileTarget& target, PrintCompletion completion) {
    gtk_print_settings_set_printer(settings, fileprinterName());
    gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, "pdf");
    if (target.format == PrintFileFormat::PDF && !target.gray) {
        auto out = std::make_shared<PrintTarget>(target.path, target.confined);
        if (out->fd() < 0) {
            g_object_unref(settings);
            g_object_unref(setup);
            log("Printing to %s failed: %s", target.path.c_str(), out->failure().c_str());
            completeLater(std::move(completion), printError(5, out->failure()));
            return;
        }
        gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI,
                               Url::fileURL(out->temporaryPath()).absoluteString().c_str());
        runJob(formatter, settings, setup,
               [out, target, completion = std::move(completion)](bool completed, const Error* error) {
                   if (!completed) return completion(false, error);
                   const std::optional<std::string> failure = out->commit();
                   if (failure) log("Printing to %s failed: %s", target.path.c_str(), failure->c_str());
                   const Error written = printError(5, failure.value_or(""));
                   completion(!failure, failure ? &written : nullptr);
               });
        return;
    }
    std::string pdf;
    if (auto failure = createPrintedPagesFile(pdf)) {
        g_object_unref(settings);
        g_object_unref(setup);
        completeLater(std::move(completion), printError(5, *failure));
        return;
    }
    gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, Url::fileURL(pdf).absoluteString().c_str());
    runJob(formatter, settings, setup,
           [target, pdf, completion = std::move(completion)](bool completed, const Error* error) {
               if (!completed) {
                   ::unlink(pdf.c_str());
                   return completion(false, error);
               }
               renderInto(target, pdf, completion);
           });
}

class WebKitPrinter final : public Printer, public std::enable_shared_from_this<WebKitPrinter> {
public:
    bool printingAvailable() const override { return true; }

    void presentAnimated(bool, PrintCompletion completion) override {
        // The dialog belongs to the main loop, not to whoever asked for it.
        std::weak_ptr<WebKitPrinter> weak = weak_from_this();
        // The delegate of this job hears of this dialog, whoever the controller's delegate is by then.
        RunLoop::performOnMain(
            [weak, formatter = printFormatter(), info = printInfo(), paper = showsPaperSelectionForLoadedPapers(),
             delegate = std::weak_ptr<PrinterDelegate>(delegate()), completion = std::move(completion)] {
                if (auto self = weak.lock()) self->showPrintDialog(formatter, info, paper, delegate, completion);
            });
    }

    void printToPrinter(const std::string& printerURL, PrintCompletion completion) override {
        auto url = Url::parse(printerURL);
        if (!url) {
            completeLater(std::move(completion), printError(3, "Not a printer URL: " + printerURL));
            return;
        }
        GtkPrintSettings* settings = settingsFor(printInfo());
        if (url->isFileURL()) {
            // The file is the URL's path: a query or fragment names nothing on disk.
            const std::string path = url->path();
            auto format = printFileFormatForPath(path);
            const bool picked = wasPicked(path);
            std::optional<std::string> refused;
            if (!format)
                refused = "not a PDF, PostScript or SVG file";
            else if (!picked)
                refused = refusal(path);
            if (refused) {
                g_object_unref(settings);
                log("Printing to %s refused: %s", printerURL.c_str(), refused->c_str());
                completeLater(std::move(completion),
                              printError(4, "A page prints to PDF, PostScript or SVG files inside the application's "
                                            "home only (" +
                                                *refused + ")"));
                return;
            }
            runFileJob(printFormatter(), settings, pageSetupFor(printInfo()),
                       FileTarget{path, *format, grayOutput(printInfo()), !picked}, std::move(completion));
            return;
        }
        const std::string queue = queueName(*url);
        if (queue.empty()) {
            g_object_unref(settings);
            completeLater(std::move(completion), printError(3, "The URL names no printer: " + printerURL));
            return;
        }
        gtk_print_settings_set_printer(settings, queue.c_str());
        runJob(printFormatter(), settings, pageSetupFor(printInfo()), std::move(completion));
    }

    void presentPrinterPicker(bool, PrinterPickerCompletion completion) override {
        std::weak_ptr<WebKitPrinter> weak = weak_from_this();
        RunLoop::performOnMain([weak, completion = std::move(completion)] {
            if (auto self = weak.lock()) self->showPicker(completion);
        });
    }

private:
    struct DialogState {
        std::weak_ptr<WebKitPrinter> printer;
        PrintFormatter formatter;
        std::weak_ptr<PrinterDelegate> delegate;
        PrintCompletion completion;
        PrinterPickerCompletion pickerCompletion;
    };

    static GtkWidget* newDialog(const char* title, WebView* view, const PrintInfo& info) {
        GtkWidget* dialog = gtk_print_unix_dialog_new(title, parentWindow(view));
        GtkPrintSettings* settings = settingsFor(info);
        GtkPageSetup* setup = pageSetupFor(info);
        gtk_print_unix_dialog_set_settings(GTK_PRINT_UNIX_DIALOG(dialog), settings);
        gtk_print_unix_dialog_set_page_setup(GTK_PRINT_UNIX_DIALOG(dialog), setup);
        g_object_unref(settings);
        g_object_unref(setup);
        gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
        return dialog;
    }

    void showPrintDialog(const PrintFormatter& formatter, const PrintInfo& info, bool paperSelection,
                         std::weak_ptr<PrinterDelegate> delegate, PrintCompletion completion) {
        GtkWidget* dialog = newDialog(info.jobName.empty() ? nullptr : info.jobName.c_str(), formatter.view, info);
        auto* unix = GTK_PRINT_UNIX_DIALOG(dialog);
        gtk_print_unix_dialog_set_embed_page_setup(unix, paperSelection);
        // What WebKit's printing does itself.
        gtk_print_unix_dialog_set_manual_capabilities(
            unix, static_cast<GtkPrintCapabilities>(GTK_PRINT_CAPABILITY_PAGE_SET | GTK_PRINT_CAPABILITY_COPIES |
                                                    GTK_PRINT_CAPABILITY_COLLATE | GTK_PRINT_CAPABILITY_REVERSE |
                                                    GTK_PRINT_CAPABILITY_SCALE | GTK_PRINT_CAPABILITY_GENERATE_PDF |
                                                    GTK_PRINT_CAPABILITY_GENERATE_PS | GTK_PRINT_CAPABILITY_NUMBER_UP |
                                                    GTK_PRINT_CAPABILITY_NUMBER_UP_LAYOUT));
        auto* state = new DialogState{weak_from_this(), formatter, std::move(delegate), std::move(completion), {}};
        g_signal_connect_data(
            dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                auto* state = static_cast<DialogState*>(data);
                if (auto delegate = state->delegate.lock()) delegate->printerDidDismissPrinterOptions();
                auto* unix = GTK_PRINT_UNIX_DIALOG(dialog);
                GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(unix);
                if (response == GTK_RESPONSE_OK && printer) {
                    GtkPrintSettings* settings = gtk_print_unix_dialog_get_settings(unix);
                    gtk_print_settings_set_printer(settings, gtk_printer_get_name(printer));
                    GtkPageSetup* setup = gtk_page_setup_copy(gtk_print_unix_dialog_get_page_setup(unix));
                    if (auto target = chosenFile(settings, printer))
                        runFileJob(state->formatter, settings, setup, *target, std::move(state->completion));
                    else
                        runJob(state->formatter, settings, setup, std::move(state->completion));
                } else if (state->completion) {
                    state->completion(false, nullptr);
                }
                state->completion = nullptr;
                gtk_widget_destroy(GTK_WIDGET(dialog));
            }),
            state, +[](gpointer data, GClosure*) { delete static_cast<DialogState*>(data); }, GConnectFlags(0));
        gtk_widget_show(dialog);
    }

    // The file the user chose in the dialog (written beside it first, and
    // rendered again when WebKit cannot write it as chosen: PostScript, SVG,
    // or grey); nullopt for any other printer.
    static std::optional<FileTarget> chosenFile(GtkPrintSettings* settings, GtkPrinter* printer) {
        if (g_strcmp0(gtk_printer_get_name(printer), fileprinterName()) != 0) return std::nullopt;
        const char* uri = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_URI);
        const char* name = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT);
        auto format = printFileFormatNamed(name ? name : "pdf");
        const bool gray = !gtk_print_settings_get_use_color(settings);
        gchar* path = uri ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
        std::optional<FileTarget> target;
        if (path && format) target = FileTarget{path, *format, gray, false};
        g_free(path);
        return target;
    }

    void showPicker(PrinterPickerCompletion completion) {
        GtkWidget* dialog = newDialog("Choose a Printer", printFormatter().view, printInfo());
        if (GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK))
            gtk_button_set_label(GTK_BUTTON(ok), "_Select");
        auto* state = new DialogState{weak_from_this(), {}, {}, {}, std::move(completion)};
        g_signal_connect_data(
            dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                auto* state = static_cast<DialogState*>(data);
                auto* unix = GTK_PRINT_UNIX_DIALOG(dialog);
                GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(unix);
                std::optional<std::string> url;
                if (response == GTK_RESPONSE_OK && printer) url = printerURL(unix, printer);
                if (auto self = state->printer.lock(); self && url) self->remember(*url);
                gtk_widget_destroy(GTK_WIDGET(dialog));
                if (state->pickerCompletion) state->pickerCompletion(url);
                state->pickerCompletion = nullptr;
            }),
            state, +[](gpointer data, GClosure*) { delete static_cast<DialogState*>(data); }, GConnectFlags(0));
        gtk_widget_show(dialog);
    }

    // The file the print-to-file printer writes, or the printer's CUPS queue.
    static std::optional<std::string> printerURL(GtkPrintUnixDialog* dialog, GtkPrinter* printer) {
        const char* name = gtk_printer_get_name(printer);
        if (g_strcmp0(name, fileprinterName()) == 0) {
            GtkPrintSettings* settings = gtk_print_unix_dialog_get_settings(dialog);
            const char* uri = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_URI);
            std::optional<std::string> url;
            if (uri) url = uri;
            g_object_unref(settings);
            return url;
        }
        return "ipp://localhost/printers/" + percentEncode(name ? name : "");
    }

    // A file the user chose in the picker may be printed to wherever it is.
    void remember(const std::string& url) {
        auto parsed = Url::parse(url);
        if (!parsed || !parsed->isFileURL()) return;
        std::lock_guard lock(mutex_);
        picked_.insert(parsed->path());
    }
    bool wasPicked(const std::string& path) {
        std::lock_guard lock(mutex_);
        return picked_.count(path) > 0;
    }

    // Why a page may not print to the file at `path`; nullopt when it may:
    // a file (not a link) in a directory inside the application's home.
    static std::optional<std::string> refusal(const std::string& path) {
        if (path.empty() || path.front() != '/' || path.back() == '/') return "not a file path";
        // GIO takes "." and ".." out of the path before it follows any link;
        // checked after the links, such a path could lead somewhere else.
        if (path.find("/./") != std::string::npos || path.find("/../") != std::string::npos)
            return "a path through \".\" or \"..\"";
        const auto slash = path.rfind('/');
        auto home = resolvedPath(Container::home());
        if (!home) return "the application's home does not exist";
        auto directory = resolvedPath(slash == 0 ? "/" : path.substr(0, slash));
        if (!directory) return "no such directory";
        if (*directory != *home && !inside(*directory, *home)) return "outside the application's home";
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
        // A link there could point anywhere.
        if (S_ISLNK(st.st_mode)) return "a link";
        if (!S_ISREG(st.st_mode)) return "not a regular file";
        return std::nullopt;
    }

    std::mutex mutex_;
    std::set<std::string> picked_;
};

}  // namespace

void installWebKitPrinter() {
    Printer::setShared(std::make_shared<WebKitPrinter>());
    // What prints of an earlier run cut short left: off the main thread, as
    // their directories may be slow to answer.
    dispatch::globalQueue()->async([] { removePrintLeftovers(); });
}

}  // namespace wharf::platform
