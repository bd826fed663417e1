#pragma once
// The `wharf` executable's entry point, shared with hosts that add their own
// plug-in classes (the end-to-end test host).
#include <functional>

namespace wharf {

// wharf [--bundle DIR] [--home DIR] [--open-url URL]... [--screenshot PATH] [--background-fetch]
//       [--screenshot-delay MS] [--location gpsd://HOST:PORT | replay:FILE | none]
// `registerExtraClasses` runs after the built-in classes are registered.
int wharfMain(int argc, char** argv, const std::function<void()>& registerExtraClasses = {});

// Ends the running application with `status` (main thread).
void wharfQuit(int status);

}  // namespace wharf
