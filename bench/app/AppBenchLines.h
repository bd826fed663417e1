#pragma once
// What the benchmark's application processes say on standard error, and the
// size of their windows.
namespace wharf::bench {

// The host's own line once the page has loaded.
inline constexpr const char* kLoadedLine = "Finished load of: ";
// The page's report, once its cases have run.
inline constexpr const char* kReportLine = "wharf-bench report: ";
// The application window's default size.
inline constexpr int kWindowWidth = 1024, kWindowHeight = 768;

}  // namespace wharf::bench
