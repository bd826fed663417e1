// The plain WebKitGTK application the Wharf application is measured against:
// a window of the same size holding one web view, whose page posts each call
// to a script message handler and is answered by one evaluated script. It
// links nothing but GTK and WebKitGTK, as such an application would.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "AppBenchLines.h"

namespace {

WebKitWebView* gView = nullptr;

// The page posts the JSON text [id, value]: its inside is the argument list
// of the page's answer(id, value).
void onEcho(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
    const std::size_t n = text ? std::strlen(text) : 0;
    if (n >= 2) {
        std::string script = "answer(";
        script.append(text + 1, n - 2);
        script += ')';
        webkit_web_view_evaluate_javascript(gView, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    }
    g_free(text);
}

void onDone(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
    std::fprintf(stderr, "%s%s\n", wharf::bench::kReportLine, text ? text : "");
    std::fflush(stderr);
    g_free(text);
}

void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    std::fprintf(stderr, "%s%s\n", wharf::bench::kLoadedLine, webkit_web_view_get_uri(view));
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), wharf::bench::kWindowWidth, wharf::bench::kWindowHeight);
    WebKitUserContentManager* manager = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(manager, "echo");
    webkit_user_content_manager_register_script_message_handler(manager, "done");
    g_signal_connect(manager, "script-message-received::echo", G_CALLBACK(onEcho), nullptr);
    g_signal_connect(manager, "script-message-received::done", G_CALLBACK(onDone), nullptr);
    gView = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(manager));
    g_object_unref(manager);
    g_signal_connect(gView, "load-changed", G_CALLBACK(onLoadChanged), nullptr);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(gView));
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(gView, argv[1]);
    g_unix_signal_add(
        SIGTERM,
        +[](gpointer) -> gboolean {
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
    return 0;
}
