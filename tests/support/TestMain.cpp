#include <gtest/gtest.h>

#include "platform/RunLoop.h"

int main(int argc, char** argv) {
    wharf::platform::RunLoop::initMainThread();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
