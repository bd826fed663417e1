#include "host/plugins/WFGestureHandler.h"

#include <gtk/gtk.h>

#include "host/WFCommandDelegate.h"
#include "platform/Log.h"
#include "platform/gui/WebView.h"

namespace wharf {

namespace {

// The preferences are looked up under their lower-case keys, as stored.
bool settingIsOn(const platform::Value& settings, const char* key) {
    if (!settings.is_object()) return false;
    auto it = settings.find(key);
    return it != settings.end() && platform::boolValue(*it);
}

void onPressed(GtkGestureLongPress* gesture, gdouble, gdouble, gpointer self) {
    static_cast<WFGestureHandler*>(self)->handleLongPressGestures(GTK_GESTURE(gesture));
}

}  // namespace

WFGestureHandler::~WFGestureHandler() {
    if (lpgr_) {
        if (pressedHandler_) g_signal_handler_disconnect(lpgr_, pressedHandler_);
        g_object_unref(lpgr_);
    }
}

const WFActionTable& WFGestureHandler::actions() {
    static const WFActionTable none;
    return none;
}

void WFGestureHandler::pluginInitialize() { applyLongPressFix(); }

void WFGestureHandler::applyLongPressFix() {
    auto delegate = commandDelegate();
    platform::Value settings = delegate ? delegate->settings() : platform::Value::object();
    if (!settingIsOn(settings, "suppresseslongpressgesture")) return;

    float duration = 0.45f;
    if (settingIsOn(settings, "suppresses3dtouchgesture")) duration = 0.05f;
    platform::WebView* view = webView();
    GtkWidget* widget = view ? view->widget() : nullptr;
    if (!widget) {
        platform::logMessage("No webview subviews found, not applying the longpress fix.");
        return;
    }
    if (lpgr_) return;
    lpgr_ = gtk_gesture_long_press_new(widget);
    // GTK waits "gtk-long-press-time" (ms) times the delay factor.
    gint longPressTime = 500;
    g_object_get(gtk_widget_get_settings(widget), "gtk-long-press-time", &longPressTime, nullptr);
    if (longPressTime <= 0) longPressTime = 500;
    g_object_set(lpgr_, "delay-factor", static_cast<double>(duration) * 1000.0 / longPressTime, nullptr);
    // The magnifier belongs to touch input; a held mouse button keeps selecting text.
    gtk_gesture_single_set_touch_only(GTK_GESTURE_SINGLE(lpgr_), TRUE);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(lpgr_), GTK_PHASE_CAPTURE);
    pressedHandler_ = g_signal_connect(lpgr_, "pressed", G_CALLBACK(&onPressed), this);
    minimumPressDuration_ = duration;
}

void WFGestureHandler::handleLongPressGestures(GtkGesture* recognizer) {
    if (recognizer != lpgr_) return;
    // Claiming the press keeps it from the web view, which would otherwise
    // show its own long-press UI.
    gtk_gesture_set_state(recognizer, GTK_EVENT_SEQUENCE_CLAIMED);
    platform::logMessage("Ignoring a longpress in order to suppress the magnifying glass.");
}

}  // namespace wharf
