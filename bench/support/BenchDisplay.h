#pragma once
// Benchmarks of real web views need a display: without one they run again
// under xvfb-run.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace wharf::bench {

// Initialises GTK, re-running the program under xvfb-run when there is no
// display. False (after a message) when there is none to be had.
inline bool initDisplay(int& argc, char**& argv) {
    const char* display = std::getenv("DISPLAY");
    if ((!display || !*display) && !std::getenv("WHARF_BENCH_NO_XVFB")) {
        setenv("WHARF_BENCH_NO_XVFB", "1", 1);  // NOLINT(concurrency-mt-unsafe): from main, before any thread
        std::vector<char*> args{const_cast<char*>("xvfb-run"), const_cast<char*>("-a")};
        for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("xvfb-run", args.data());
        std::fprintf(stderr, "bench: no display and no xvfb-run; skipping\n");
        return false;
    }
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "bench: no display; skipping\n");
        return false;
    }
    return true;
}

}  // namespace wharf::bench
