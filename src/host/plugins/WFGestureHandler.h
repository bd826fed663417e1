#pragma once
// Suppresses the web view's long-press magnifier when "SuppressesLongPressGesture"
// is set: a long-press gesture on the web view's widget claims the press.
#include <string>

#include "host/WFPlugin.h"

typedef struct _GtkGesture GtkGesture;

namespace wharf {

class WFGestureHandler : public WFPlugin {
public:
    ~WFGestureHandler() override;

    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    void pluginInitialize() override;
    void applyLongPressFix();
    // The gesture's action: logs a press it recognised.
    void handleLongPressGestures(GtkGesture* recognizer);

    GtkGesture* lpgr() const { return lpgr_; }
    // The recogniser's minimum press duration in seconds (0 without one).
    float minimumPressDuration() const { return minimumPressDuration_; }

private:
    GtkGesture* lpgr_ = nullptr;
    float minimumPressDuration_ = 0;
    unsigned long pressedHandler_ = 0;
};

}  // namespace wharf
