#include "platform/gui/WebKitPrinter.h"

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>

#include "platform/Container.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Printer.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"
#include "platform/gui/WebView.h"

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

// New references.
GtkPrintSettings* settingsFor(const PrintInfo& info) {
    GtkPrintSettings* settings = gtk_print_settings_new();
    gtk_print_settings_set_orientation(settings, pageOrientation(info));
    // CUPS prints "horizontal" duplex on the long edge of a portrait page.
    gtk_print_settings_set_duplex(settings, info.duplex == PrintInfoDuplexLongEdge    ? GTK_PRINT_DUPLEX_HORIZONTAL
                                            : info.duplex == PrintInfoDuplexShortEdge ? GTK_PRINT_DUPLEX_VERTICAL
                                                                                      : GTK_PRINT_DUPLEX_SIMPLEX);
    const bool gray = info.outputType == PrintInfoOutputGrayscale || info.outputType == PrintInfoOutputPhotoGrayscale;
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

bool endsWithPdf(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    return tail == ".pdf";
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

class WebKitPrinter final : public Printer, public std::enable_shared_from_this<WebKitPrinter> {
public:
    bool printingAvailable() const override { return true; }

    void presentAnimated(bool, PrintCompletion completion) override {
        // The dialog belongs to the main loop, not to whoever asked for it.
        std::weak_ptr<WebKitPrinter> weak = weak_from_this();
        RunLoop::performOnMain([weak, formatter = printFormatter(), info = printInfo(),
                                paper = showsPaperSelectionForLoadedPapers(), completion = std::move(completion)] {
            if (auto self = weak.lock()) self->showPrintDialog(formatter, info, paper, completion);
        });
    }

    void printToPrinter(const std::string& printerURL, PrintCompletion completion) override {
        auto url = Url::parse(printerURL);
        if (!url) {
            completeLater(std::move(completion), printError(3, "Not a printer URL: " + printerURL));
            return;
        }
        GtkPrintSettings* settings = settingsFor(printInfo());
        if (url->isFileURL() && endsWithPdf(url->path())) {
            if (!fileAllowed(*url)) {
                g_object_unref(settings);
                log("Printing to %s refused: outside the application's home", printerURL.c_str());
                completeLater(std::move(completion),
                              printError(4, "A page prints to files inside the application's home only"));
                return;
            }
            gtk_print_settings_set_printer(settings, fileprinterName());
            gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, url->absoluteString().c_str());
            gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, "pdf");
        } else {
            const std::string queue = queueName(*url);
            if (queue.empty()) {
                g_object_unref(settings);
                completeLater(std::move(completion), printError(3, "The URL names no printer: " + printerURL));
                return;
            }
            gtk_print_settings_set_printer(settings, queue.c_str());
        }
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
                         PrintCompletion completion) {
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
        auto* state = new DialogState{weak_from_this(), formatter, std::move(completion), {}};
        g_signal_connect_data(
            dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                auto* state = static_cast<DialogState*>(data);
                auto self = state->printer.lock();
                if (auto delegate = self ? self->delegate() : nullptr) delegate->printerDidDismissPrinterOptions();
                auto* unix = GTK_PRINT_UNIX_DIALOG(dialog);
                GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(unix);
                if (response == GTK_RESPONSE_OK && printer) {
                    GtkPrintSettings* settings = gtk_print_unix_dialog_get_settings(unix);
                    gtk_print_settings_set_printer(settings, gtk_printer_get_name(printer));
                    GtkPageSetup* setup = gtk_page_setup_copy(gtk_print_unix_dialog_get_page_setup(unix));
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

    void showPicker(PrinterPickerCompletion completion) {
        GtkWidget* dialog = newDialog("Choose a Printer", printFormatter().view, printInfo());
        if (GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK))
            gtk_button_set_label(GTK_BUTTON(ok), "_Select");
        auto* state = new DialogState{weak_from_this(), {}, {}, std::move(completion)};
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

    void remember(const std::string& url) {
        std::lock_guard lock(mutex_);
        picked_.insert(url);
    }

    // A page may write only inside the application's home; the user may choose any file.
    bool fileAllowed(const Url& url) {
        {
            std::lock_guard lock(mutex_);
            if (picked_.count(url.absoluteString())) return true;
        }
        const std::string path = url.path();
        // GIO takes "." and ".." out of the path before it follows any link;
        // checked after the links, such a path could lead somewhere else.
        if (path.find("/./") != std::string::npos || path.find("/../") != std::string::npos) return false;
        const auto slash = path.rfind('/');
        if (slash == std::string::npos) return false;
        auto directory = resolvedPath(slash == 0 ? "/" : path.substr(0, slash));
        auto home = resolvedPath(Container::home());
        if (!directory || !home) return false;
        if (*directory != *home && !inside(*directory, *home)) return false;
        // A link there could point anywhere.
        struct stat st;
        return ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode);
    }

    std::mutex mutex_;
    std::set<std::string> picked_;
};

}  // namespace

void installWebKitPrinter() { Printer::setShared(std::make_shared<WebKitPrinter>()); }

}  // namespace wharf::platform
