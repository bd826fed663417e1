#pragma once
// Makes the device vibrate when the page asks.
#include "host/WFPlugin.h"

namespace wharf {

class WFVibration : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFVibration"; }

    // Plays the vibration system sound. Reads no argument (a duration changes
    // nothing) and sends no result.
    void vibrate(const WFInvokedUrlCommand& command);
};

// Registers "WFVibration".
void registerVibrationPlugin();

}  // namespace wharf
