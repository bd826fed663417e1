#include "E2EWindowPlugin.h"

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>

#include "app/WFAppDelegate.h"
#include "host/WFCommandDelegate.h"
#include "platform/device/Application.h"
#include "platform/storage/Container.h"

// Last: the X headers define names (None, Status...) that others use.
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>

namespace wharf::e2e {

using platform::Value;

namespace {

platform::AppShell* shell() {
    auto* delegate = dynamic_cast<WFAppDelegate*>(platform::Application::shared().delegate());
    return delegate ? delegate->window() : nullptr;
}

GtkPrintUnixDialog* shownPrintDialog() {
    GList* windows = gtk_window_list_toplevels();
    GtkPrintUnixDialog* found = nullptr;
    for (GList* l = windows; l && !found; l = l->next)
        if (GTK_IS_PRINT_UNIX_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            found = GTK_PRINT_UNIX_DIALOG(l->data);
    g_list_free(windows);
    return found;
}

const char* filePrinter() { return g_dgettext("gtk30", "Print to File"); }

// The dialog's radio button labelled `label`, or null. Internal children too:
// the dialog's own widgets are.
GtkToggleButton* radioButton(GtkWidget* widget, const char* label) {
    if (GTK_IS_RADIO_BUTTON(widget)) {
        // Its text is the button's label, or that of a label inside it.
        const char* text = gtk_button_get_label(GTK_BUTTON(widget));
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget));
        if (!text && GTK_IS_LABEL(child)) text = gtk_label_get_text(GTK_LABEL(child));
        return g_strcmp0(text, label) == 0 ? GTK_TOGGLE_BUTTON(widget) : nullptr;
    }
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    struct Search {
        const char* label;
        GtkToggleButton* found;
    } search{label, nullptr};
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer data) {
            auto* s = static_cast<Search*>(data);
            if (!s->found) s->found = radioButton(child, s->label);
        },
        &search);
    return search.found;
}

// The file printer's label for an output format ("pdf", "ps", "svg").
const char* formatLabel(const std::string& format) {
    if (format == "ps") return g_dgettext("gtk30", "Postscript");
    if (format == "svg") return g_dgettext("gtk30", "SVG");
    return g_dgettext("gtk30", "PDF");
}

// Waits for the dialog, chooses the print-to-file printer with the output
// file as a user would, then presses Print (or Cancel).
struct DialogAnswer {
    std::weak_ptr<WFCommandDelegate> delegate;
    std::optional<std::string> callbackId;
    bool print = false;
    std::string output;
    std::string format = "pdf";
    int polls = 0;
    bool configured = false;

    void answer(bool ok) {
        if (auto d = delegate.lock())
            d->sendPluginResult(WFPluginResult::resultWithStatus(ok ? WFResultStatus::OK : WFResultStatus::Error),
                                callbackId);
    }

    // G_SOURCE_REMOVE once the dialog has been answered (or never came).
    gboolean poll() {
        if (++polls > 400) {
            answer(false);
            return G_SOURCE_REMOVE;
        }
        GtkPrintUnixDialog* dialog = shownPrintDialog();
        if (!dialog) return G_SOURCE_CONTINUE;
        if (!print) {
            gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
            answer(true);
            return G_SOURCE_REMOVE;
        }
        GtkPrintSettings* settings = gtk_print_unix_dialog_get_settings(dialog);
        GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(dialog);
        const bool filePrinterChosen = printer && g_strcmp0(gtk_printer_get_name(printer), filePrinter()) == 0;
        const char* uri = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_URI);
        const char* chosenFormat = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT);
        const bool ready =
            filePrinterChosen && g_strcmp0(uri, output.c_str()) == 0 && format == (chosenFormat ? chosenFormat : "pdf");
        if (!ready) {
            // The printer and the file through the settings, once: the dialog
            // selects the printer when it appears. The format as a user picks
            // it, with its button: given in the settings too, GTK's file
            // printer renamed the file while its widget was being built, which
            // then read the name it had freed.
            if (!configured) {
                gtk_print_settings_set_printer(settings, filePrinter());
                gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, output.c_str());
                gtk_print_unix_dialog_set_settings(dialog, settings);
                configured = true;
            } else if (filePrinterChosen) {
                if (GtkToggleButton* button = radioButton(GTK_WIDGET(dialog), formatLabel(format)))
                    gtk_toggle_button_set_active(button, TRUE);
            }
            g_object_unref(settings);
            return G_SOURCE_CONTINUE;
        }
        g_object_unref(settings);
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        answer(true);
        return G_SOURCE_REMOVE;
    }
};

}  // namespace

void E2EWindow::registerClass() { WFRegisterPluginClass<E2EWindow>("E2EWindow"); }

const WFActionTable& E2EWindow::actions() {
    static const WFActionTable table = WFMakeActionTable<E2EWindow>({
        {"screenshot", &E2EWindow::screenshot},
        {"click", &E2EWindow::click},
        {"webViewFrame", &E2EWindow::webViewFrame},
        {"home", &E2EWindow::home},
        {"answerPrintDialog", &E2EWindow::answerPrintDialog},
    });
    return table;
}

void E2EWindow::screenshot(const WFInvokedUrlCommand& command) {
    std::weak_ptr<WFCommandDelegate> weak = commandDelegate();
    auto* window = shell();
    auto send = [weak, id = command.callbackId()](bool ok) {
        if (auto d = weak.lock())
            d->sendPluginResult(WFPluginResult::resultWithStatus(ok ? WFResultStatus::OK : WFResultStatus::Error), id);
    };
    if (!window) return send(false);
    window->snapshotWindow(platform::stringValue(command.argumentAtIndex(0)), send);
}

void E2EWindow::click(const WFInvokedUrlCommand& command) {
    auto* window = shell();
    GdkWindow* gdk = window && window->window() ? gtk_widget_get_window(window->window()) : nullptr;
    bool ok = false;
    if (gdk && GDK_IS_X11_WINDOW(gdk)) {
        // Through the X server, as a pointer would: GTK takes no synthetic events.
        int originX = 0, originY = 0;
        gdk_window_get_origin(gdk, &originX, &originY);
        Display* display = GDK_WINDOW_XDISPLAY(gdk);
        const int x = originX + static_cast<int>(platform::integerValue(command.argumentAtIndex(0, 0)));
        const int y = originY + static_cast<int>(platform::integerValue(command.argumentAtIndex(1, 0)));
        ok = XTestFakeMotionEvent(display, -1, x, y, CurrentTime) &&
             XTestFakeButtonEvent(display, 1, True, CurrentTime) &&
             XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XFlush(display);
    }
    if (auto d = commandDelegate())
        d->sendPluginResult(WFPluginResult::resultWithStatus(ok ? WFResultStatus::OK : WFResultStatus::Error),
                            command.callbackId());
}

void E2EWindow::webViewFrame(const WFInvokedUrlCommand& command) {
    auto* window = shell();
    GdkWindow* gdk = window && window->window() ? gtk_widget_get_window(window->window()) : nullptr;
    GdkFrameClock* clock = gdk ? gdk_window_get_frame_clock(gdk) : nullptr;
    auto answer = [weak = weak_from_this(), id = command.callbackId()] {
        auto self = weak.lock();
        auto* window = shell();
        auto engine = self ? self->webViewEngine() : nullptr;
        platform::WebView* view = engine ? engine->engineWebView() : nullptr;
        Value frame = Value::object();
        if (window && window->window() && view && view->widget()) {
            int x = 0, y = 0;
            gtk_widget_translate_coordinates(view->widget(), window->window(), 0, 0, &x, &y);
            frame = Value{{"x", x},
                          {"y", y},
                          {"width", gtk_widget_get_allocated_width(view->widget())},
                          {"height", gtk_widget_get_allocated_height(view->widget())},
                          {"windowHeight", gtk_widget_get_allocated_height(window->window())}};
        }
        if (auto d = self ? self->commandDelegate() : nullptr)
            d->sendPluginResult(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, frame), id);
    };
    if (!clock) return answer();
    // Where the window has put the web view once it has laid out and painted.
    struct Wait {
        std::function<void()> answer;
        gulong handler = 0;
    };
    auto* wait = new Wait{answer};
    wait->handler = g_signal_connect(clock, "after-paint", G_CALLBACK(+[](GdkFrameClock* clock, gpointer data) {
                                         auto* wait = static_cast<Wait*>(data);
                                         g_signal_handler_disconnect(clock, wait->handler);
                                         g_idle_add(
                                             [](gpointer data) -> gboolean {
                                                 std::unique_ptr<Wait> wait(static_cast<Wait*>(data));
                                                 wait->answer();
                                                 return G_SOURCE_REMOVE;
                                             },
                                             wait);
                                     }),
                                     wait);
    gtk_widget_queue_draw(window->window());
}

void E2EWindow::home(const WFInvokedUrlCommand& command) {
    if (auto d = commandDelegate())
        d->sendPluginResult(
            WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, platform::Container::home()),
            command.callbackId());
}

void E2EWindow::answerPrintDialog(const WFInvokedUrlCommand& command) {
    const Value how = command.argumentAtIndex(0, Value::object(), WFValueClass::Dictionary);
    auto* answer = new DialogAnswer;
    answer->delegate = commandDelegate();
    answer->callbackId = command.callbackId();
    answer->print = how.value("response", "") == "print";
    answer->output = how.value("output", "");
    answer->format = how.value("format", "pdf");
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 50, [](gpointer data) { return static_cast<DialogAnswer*>(data)->poll(); }, answer,
        [](gpointer data) { delete static_cast<DialogAnswer*>(data); });
}

}  // namespace wharf::e2e
