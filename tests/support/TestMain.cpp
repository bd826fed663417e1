#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "TestSupport.h"
#include "platform/RunLoop.h"

int main(int argc, char** argv) {
    // What the host keeps outside its home goes to a directory of the tests'
    // own, never the user's; the processes a test starts (itself again, the
    // host) inherit it.
    std::optional<wharf::test::TempDir> state;
    if (!std::getenv("WHARF_TEST_STATE_HOME")) {
        state.emplace();
        ::setenv("WHARF_TEST_STATE_HOME", state->path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", state->path().c_str(), 1);
    }
    wharf::platform::RunLoop::initMainThread();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
