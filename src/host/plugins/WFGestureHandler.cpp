#include "host/plugins/WFGestureHandler.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "host/WFCommandDelegate.h"
#include "platform/base/Log.h"
#include "platform/gui/WebView.h"

namespace wharf {

namespace {

// How far (in pixels) a finger may move and still be holding still.
constexpr double kAllowableMovement = 100;

// The preferences are looked up under their lower-case keys, as stored.
bool settingIsOn(const platform::Value& settings, const char* key) {
    if (!settings.is_object()) return false;
    auto it = settings.find(key);
    return it != settings.end() && platform::boolValue(*it);
}

}  // namespace

WFGestureHandler::~WFGestureHandler() {
    cancelPress();
    if (lpgr_) {
        g_signal_handlers_disconnect_by_data(lpgr_, this);
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
    // GTK's own long-press gesture cannot wait less than half its default
    // time (250 ms): a press is timed here instead, on a drag gesture that
    // reports where the finger went.
    lpgr_ = gtk_gesture_drag_new(widget);
    // The magnifier belongs to touch input; a held mouse button keeps selecting text.
    gtk_gesture_single_set_touch_only(GTK_GESTURE_SINGLE(lpgr_), TRUE);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(lpgr_), GTK_PHASE_CAPTURE);
    minimumPressDuration_ = duration;
    g_signal_connect(lpgr_, "drag-begin", G_CALLBACK(+[](GtkGestureDrag*, gdouble, gdouble, gpointer self) {
                         static_cast<WFGestureHandler*>(self)->beginPress();
                     }),
                     this);
    g_signal_connect(lpgr_, "drag-update", G_CALLBACK(+[](GtkGestureDrag*, gdouble x, gdouble y, gpointer self) {
                         if (x * x + y * y > kAllowableMovement * kAllowableMovement)
                             static_cast<WFGestureHandler*>(self)->cancelPress();
                     }),
                     this);
    g_signal_connect(lpgr_, "drag-end", G_CALLBACK(+[](GtkGestureDrag*, gdouble, gdouble, gpointer self) {
                         static_cast<WFGestureHandler*>(self)->cancelPress();
                     }),
                     this);
    g_signal_connect(lpgr_, "cancel", G_CALLBACK(+[](GtkGesture*, GdkEventSequence*, gpointer self) {
                         static_cast<WFGestureHandler*>(self)->cancelPress();
                     }),
                     this);
}

void WFGestureHandler::beginPress() {
    cancelPress();
    pressTimer_ = g_timeout_add(
        static_cast<guint>(std::max(0L, std::lround(minimumPressDuration_ * 1000.0))),
        +[](gpointer self) -> gboolean {
            auto* me = static_cast<WFGestureHandler*>(self);
            me->pressTimer_ = 0;
            me->handleLongPressGestures(me->lpgr_);
            return G_SOURCE_REMOVE;
        },
        this);
}

void WFGestureHandler::cancelPress() {
    if (pressTimer_) g_source_remove(pressTimer_);
    pressTimer_ = 0;
}

void WFGestureHandler::handleLongPressGestures(GtkGesture* recognizer) {
    if (recognizer != lpgr_) return;
    // Claiming the press keeps it from the web view, which would otherwise
    // show its own long-press UI.
    gtk_gesture_set_state(recognizer, GTK_EVENT_SEQUENCE_CLAIMED);
    platform::logMessage("Ignoring a longpress in order to suppress the magnifying glass.");
}

}  // namespace wharf
