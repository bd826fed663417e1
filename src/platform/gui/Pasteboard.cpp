#include "platform/gui/Pasteboard.h"

#include <gtk/gtk.h>

#include <exception>

#include "platform/base/Log.h"

namespace wharf::platform {

namespace {

class GtkPasteboard final : public Pasteboard {
public:
    void requestString(std::function<void(std::optional<std::string>)> done) override {
        using Done = std::function<void(std::optional<std::string>)>;
        gtk_clipboard_request_text(
            clipboard(),
            [](GtkClipboard*, const gchar* text, gpointer data) {
                std::unique_ptr<Done> done(static_cast<Done*>(data));
                try {
                    (*done)(text ? std::optional<std::string>(text) : std::nullopt);
                } catch (const std::exception& e) {
                    log("Pasteboard completion threw: %s", e.what());
                }
            },
            new Done(std::move(done)));
    }

    void setString(const std::string& text) override {
        gtk_clipboard_set_text(clipboard(), text.c_str(), static_cast<gint>(text.size()));
    }

private:
    static GtkClipboard* clipboard() { return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD); }
};

}  // namespace

std::unique_ptr<Pasteboard> createGtkPasteboard() { return std::make_unique<GtkPasteboard>(); }

}  // namespace wharf::platform
