#include "plugins/vibration/WFVibration.h"

#include "platform/device/SystemSound.h"

namespace wharf {

const WFActionTable& WFVibration::actions() {
    static const WFActionTable table = WFMakeActionTable<WFVibration>({{"vibrate", &WFVibration::vibrate}});
    return table;
}

void registerVibrationPlugin() { WFRegisterPluginClass<WFVibration>("WFVibration"); }

void WFVibration::vibrate(const WFInvokedUrlCommand&) {
    platform::AudioServicesPlaySystemSound(platform::kSystemSoundID_Vibrate);
}

}  // namespace wharf
