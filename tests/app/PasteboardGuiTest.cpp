// On resume the text on the desktop's clipboard is set again, as plain text
// the application owns (another program's richer formats are dropped).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>

#include "TestSupport.h"
#include "host/WFViewController.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/Pasteboard.h"

namespace wharf::test {
namespace {

constexpr const char* kCopied = "copied \xC3\xA9lsewhere";

TEST(PasteboardGui, ResumeSetsTheClipboardTextAgain) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display && gtk_init_check(nullptr, nullptr), "a display (run under xvfb-run)");
    TempHome home;
    auto pasteboard = platform::createGtkPasteboard();
    platform::Pasteboard::setGeneral(pasteboard.get());
    auto controller = std::make_shared<WFViewController>();
    controller->init();

    // Another owner offers the text in a format of its own besides plain text.
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    GObject* owner = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    GtkTargetEntry targets[] = {{const_cast<gchar*>("UTF8_STRING"), 0, 0}, {const_cast<gchar*>("text/x-rich"), 0, 1}};
    ASSERT_TRUE(gtk_clipboard_set_with_owner(
        clipboard, targets, 2,
        [](GtkClipboard*, GtkSelectionData* data, guint, gpointer) { gtk_selection_data_set_text(data, kCopied, -1); },
        [](GtkClipboard*, gpointer) {}, owner));

    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillEnterForegroundNotification);
    ASSERT_TRUE(platform::RunLoop::pumpUntil([&] { return gtk_clipboard_get_owner(clipboard) != owner; }));
    gchar* text = gtk_clipboard_wait_for_text(clipboard);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, kCopied);
    g_free(text);
    EXPECT_FALSE(gtk_clipboard_wait_is_target_available(clipboard, gdk_atom_intern_static_string("text/x-rich")));

    platform::Pasteboard::setGeneral(nullptr);
    g_object_unref(owner);
}

}  // namespace
}  // namespace wharf::test
