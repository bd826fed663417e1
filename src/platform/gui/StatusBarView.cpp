#include "platform/gui/StatusBarView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "platform/device/StatusBar.h"

namespace wharf::platform {

struct StatusBarView::Impl {
    StatusBar* bar = nullptr;
    GtkWidget* overlay = nullptr;
    GtkWidget* strip = nullptr;
    GtkWidget* content = nullptr;
    guint clockSource = 0;
    // Inside the overlay's allocation a change must not ask for another one.
    bool allocating = false;
};

namespace {

using Impl = StatusBarView::Impl;

int px(double v) { return static_cast<int>(std::lround(v)); }

// The content's margins put it at the web-view frame within the window.
void placeContent(Impl* impl) {
    if (!impl->content) return;
    const Rect bounds = impl->bar->windowBounds();
    const Rect frame = impl->bar->webViewFrame();
    gtk_widget_set_margin_top(impl->content, std::max(0, px(frame.y - bounds.y)));
    gtk_widget_set_margin_start(impl->content, std::max(0, px(frame.x - bounds.x)));
    gtk_widget_set_margin_end(impl->content, std::max(0, px(bounds.x + bounds.width - frame.x - frame.width)));
    gtk_widget_set_margin_bottom(impl->content, std::max(0, px(bounds.y + bounds.height - frame.y - frame.height)));
}

// What the strip widget covers: the coloured strip when it is in the window,
// else the status bar itself, drawn over the top of the page it overlays.
bool shown(const Impl* impl) { return impl->bar->stripShown() || !impl->bar->isHidden(); }
Rect area(const Impl* impl) { return impl->bar->stripShown() ? impl->bar->strip().frame : impl->bar->frame(); }

void update(Impl* impl) {
    placeContent(impl);
    gtk_widget_set_visible(impl->strip, shown(impl));
    if (!impl->allocating) gtk_widget_queue_resize(impl->overlay);
    gtk_widget_queue_draw(impl->strip);
}

void syncBounds(Impl* impl) {
    GtkAllocation a;
    gtk_widget_get_allocation(impl->overlay, &a);
    if (a.width <= 1 && a.height <= 1) return;  // not allocated yet
    impl->allocating = true;
    impl->bar->setWindowBounds(Rect{0, 0, double(a.width), double(a.height)});
    impl->allocating = false;
}

gboolean childPosition(GtkOverlay*, GtkWidget* child, GdkRectangle* out, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (child != impl->strip) return FALSE;
    // The overlay has its new size already; the strip follows it first.
    syncBounds(impl);
    const Rect f = area(impl);
    *out = GdkRectangle{px(f.x), px(f.y), std::max(1, px(f.width)), std::max(1, px(f.height))};
    return TRUE;
}

gboolean drawStrip(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    const StatusBar::Strip& strip = impl->bar->strip();
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    // Over a page it overlays, the status bar is clear: the page shows through.
    if (impl->bar->stripShown()) {
        cairo_set_source_rgba(cr, strip.color.red, strip.color.green, strip.color.blue, strip.color.alpha);
        cairo_paint(cr);
    }
    if (impl->bar->isHidden()) return TRUE;

    // The time, as the status bar shows it: dark text, or light for light content.
    GDateTime* now = g_date_time_new_now_local();
    gchar* text = g_date_time_format(now, "%H:%M");
    g_date_time_unref(now);
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, text);
    g_free(text);
    PangoFontDescription* font = pango_font_description_from_string("Sans Bold 9");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(layout, &tw, &th);
    const bool light = impl->bar->style() == StatusBarStyleLightContent;
    cairo_set_source_rgba(cr, light ? 1 : 0, light ? 1 : 0, light ? 1 : 0, light ? 1 : 0.85);
    cairo_move_to(cr, (width - tw) / 2.0, (height - th) / 2.0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    return TRUE;
}

gboolean pressed(GtkWidget*, GdkEventButton* event, gpointer data) {
    if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) return FALSE;
    static_cast<Impl*>(data)->bar->tap();
    return TRUE;
}

// Redraws the time at each new minute.
void scheduleClock(Impl* impl) {
    GDateTime* now = g_date_time_new_now_local();
    const guint wait = 60 - static_cast<guint>(g_date_time_get_second(now)) % 60;
    g_date_time_unref(now);
    impl->clockSource = g_timeout_add_seconds(
        wait,
        [](gpointer data) -> gboolean {
            auto* impl = static_cast<Impl*>(data);
            if (impl->strip) gtk_widget_queue_draw(impl->strip);
            scheduleClock(impl);
            return G_SOURCE_REMOVE;
        },
        impl);
}

}  // namespace

StatusBarView::StatusBarView(StatusBar& bar) : impl_(new Impl) {
    impl_->bar = &bar;
    impl_->overlay = gtk_overlay_new();
    g_object_ref_sink(impl_->overlay);
    impl_->strip = GTK_WIDGET(g_object_ref_sink(gtk_drawing_area_new()));
    gtk_widget_add_events(impl_->strip, GDK_BUTTON_PRESS_MASK);
    gtk_widget_set_no_show_all(impl_->strip, TRUE);
    g_signal_connect(impl_->strip, "draw", G_CALLBACK(&drawStrip), impl_);
    g_signal_connect(impl_->strip, "button-press-event", G_CALLBACK(&pressed), impl_);
    gtk_overlay_add_overlay(GTK_OVERLAY(impl_->overlay), impl_->strip);
    g_signal_connect(impl_->overlay, "get-child-position", G_CALLBACK(&childPosition), impl_);
    g_signal_connect(
        impl_->overlay, "size-allocate",
        G_CALLBACK(+[](GtkWidget*, GdkRectangle*, gpointer data) { syncBounds(static_cast<Impl*>(data)); }), impl_);
    bar.setChangeHandler([impl = impl_] { update(impl); });
    scheduleClock(impl_);
    update(impl_);
}

StatusBarView::~StatusBarView() {
    impl_->bar->setChangeHandler(nullptr);
    if (impl_->clockSource) g_source_remove(impl_->clockSource);
    g_signal_handlers_disconnect_by_data(impl_->overlay, impl_);
    g_signal_handlers_disconnect_by_data(impl_->strip, impl_);
    g_object_unref(impl_->strip);
    g_object_unref(impl_->overlay);
    delete impl_;
}

GtkWidget* StatusBarView::widget() const { return impl_->overlay; }

void StatusBarView::setContent(GtkWidget* content) {
    if (impl_->content) gtk_container_remove(GTK_CONTAINER(impl_->overlay), impl_->content);
    impl_->content = content;
    if (content) {
        gtk_container_add(GTK_CONTAINER(impl_->overlay), content);
        gtk_widget_show(content);
    }
    update(impl_);
}

}  // namespace wharf::platform
