// The document preview in WebKitGTK: a window of its own showing the file,
// over the application's window, replaced by the next preview, and staying on
// the document when the document links elsewhere.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <functional>

#include "TestSupport.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/DocumentInteractionController.h"

namespace wharf {
namespace {

using namespace platform;

GtkWidget* findWebView(GtkWidget* widget) {
    if (WEBKIT_IS_WEB_VIEW(widget)) return widget;
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    GtkWidget* found = nullptr;
    for (GList* c = children; c && !found; c = c->next) found = findWebView(GTK_WIDGET(c->data));
    g_list_free(children);
    return found;
}

// The shown top-level window titled `title`, if any.
GtkWindow* windowTitled(const std::string& title) {
    GList* windows = gtk_window_list_toplevels();
    GtkWindow* found = nullptr;
    for (GList* w = windows; w; w = w->next) {
        auto* window = GTK_WINDOW(w->data);
        if (gtk_widget_get_visible(GTK_WIDGET(window)) && gtk_window_get_title(window) &&
            title == gtk_window_get_title(window))
            found = window;
    }
    g_list_free(windows);
    return found;
}

class ParentView : public DocumentInteractionControllerDelegate {
public:
    GtkWidget* view = nullptr;
    GtkWidget* documentInteractionControllerViewForPreview(DocumentInteractionController&) override { return view; }
};

TEST(DocumentPreviewGui, ShowsTheFileOverTheApplicationWindowUntilReplaced) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display && gtk_init_check(nullptr, nullptr), "a display (run under xvfb-run)");
    test::TempDir dir;
    test::writeFile(dir.file("first.html"), "<html><body><a id='away' href='https://example.invalid/'>away</a>"
                                            "<script>document.title='loaded';</script></body></html>");
    test::writeFile(dir.file("second.html"), "<html><body>second</body></html>");

    GtkWidget* main = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* content = gtk_label_new("application");
    gtk_container_add(GTK_CONTAINER(main), content);
    gtk_widget_show_all(main);
    ParentView parent;
    parent.view = content;

    auto first = DocumentInteractionController::interactionControllerWithURL(Url::fileURL(dir.file("first.html")));
    first->setDelegate(&parent);
    ASSERT_TRUE(first->presentPreviewAnimated(true));
    GtkWindow* window = windowTitled("first.html");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(gtk_window_get_transient_for(window), GTK_WINDOW(main));
    auto* view = WEBKIT_WEB_VIEW(findWebView(GTK_WIDGET(window)));
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return g_strcmp0(webkit_web_view_get_title(view), "loaded") == 0; },
                                   std::chrono::seconds(20)));

    // A link in the document leads nowhere: the preview stays on it.
    webkit_web_view_evaluate_javascript(view, "document.getElementById('away').click()", -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
    RunLoop::pumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(std::string(webkit_web_view_get_uri(view)), Url::fileURL(dir.file("first.html")).absoluteString());

    auto second = DocumentInteractionController::interactionControllerWithURL(Url::fileURL(dir.file("second.html")));
    second->setDelegate(&parent);
    ASSERT_TRUE(second->presentPreviewAnimated(true));
    first.reset();  // the holder lets the old preview go
    EXPECT_EQ(windowTitled("first.html"), nullptr);
    EXPECT_NE(windowTitled("second.html"), nullptr);
    EXPECT_TRUE(second->isPreviewPresented());

    // Closed by the user: the controller knows.
    gtk_window_close(windowTitled("second.html"));
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !second->isPreviewPresented(); }));
    second.reset();
    gtk_widget_destroy(main);
}

}  // namespace
}  // namespace wharf
