// The wharf application as it ships, with the plug-in the benchmark's page
// calls; what the page reports goes to standard error as one line.
#include <cstdio>
#include <string>

#include "AppBenchSupport.h"
#include "app/WharfMain.h"

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] {
        wharf::bench::BenchEcho::registerClass();
        wharf::bench::BenchEcho::onDone() = [](const wharf::platform::Value& report) {
            const std::string text = report.is_string() ? report.get<std::string>() : report.dump();
            std::fprintf(stderr, "%s%s\n", wharf::bench::kReportLine, text.c_str());
            std::fflush(stderr);
        };
    });
}
