#pragma once
// Waits for an answer that comes once, maybe from another thread.
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/dispatch/RunLoop.h"

namespace wharf::test {

// Calls `start` with a function that takes the answer, then runs the main
// loop until the answer is in (nullopt after the run loop's time-out).
template <class T, class Start>
std::optional<T> await(Start start) {
    struct State {
        std::mutex mutex;
        std::optional<T> answer;
    };
    auto state = std::make_shared<State>();  // a late answer finds it still there
    start([state](T answer) {
        std::lock_guard lock(state->mutex);
        state->answer = std::move(answer);
    });
    platform::RunLoop::pumpUntil([&] {
        std::lock_guard lock(state->mutex);
        return state->answer.has_value();
    });
    std::lock_guard lock(state->mutex);
    return state->answer;
}

}  // namespace wharf::test
