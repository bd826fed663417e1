#pragma once
// Suppresses the web view's long-press magnifier when "SuppressesLongPressGesture"
// is set: a touch held still on the web view's widget for the minimum press
// duration is claimed, so the web view never sees it as a long press.
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
    void beginPress();
    void cancelPress();

    GtkGesture* lpgr_ = nullptr;
    float minimumPressDuration_ = 0;
    unsigned pressTimer_ = 0;
};

}  // namespace wharf
