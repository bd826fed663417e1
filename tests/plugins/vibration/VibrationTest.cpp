// A vibrate call: one request for the platform's fixed vibration, whatever
// the page passes, and never an answer.
#include <gtest/gtest.h>

#include "SentResults.h"
#include "host/testing/FakeViewController.h"
#include "platform/device/SystemSound.h"
#include "plugins/vibration/WFVibration.h"

namespace wharf {
namespace {

using namespace platform;

TEST(Vibration, OneFixedVibrationPerCallAndNoResult) {
    registerVibrationPlugin();
    auto controller = testing::FakeViewController::create();
    controller->mapService("Vibration", "WFVibration");
    auto plugin = controller->getCommandInstance("vibration");
    ASSERT_NE(plugin, nullptr);
    SystemSoundCapture sounds;
    EXPECT_TRUE(
        plugin->performAction("vibrate:", WFInvokedUrlCommand(Value::array({5000}), "v1", "WFVibration", "vibrate")));
    EXPECT_EQ(sounds.played(), std::vector<SystemSoundID>{kSystemSoundID_Vibrate});
    plugin->performAction("vibrate:", WFInvokedUrlCommand(Value::array(), "v2", "WFVibration", "vibrate"));
    EXPECT_EQ(sounds.played(), (std::vector<SystemSoundID>{kSystemSoundID_Vibrate, kSystemSoundID_Vibrate}));
    RunLoop::pumpFor(std::chrono::milliseconds(30));
    EXPECT_TRUE(test::sentResults(*controller->engine()).empty());
}

}  // namespace
}  // namespace wharf
