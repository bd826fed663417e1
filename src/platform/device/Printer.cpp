#include "platform/device/Printer.h"

#include <mutex>

namespace wharf::platform {

namespace {
std::mutex gSharedMutex;
std::shared_ptr<Printer>& sharedPrinter() {
    static std::shared_ptr<Printer> printer;
    return printer;
}
}  // namespace

std::shared_ptr<Printer> Printer::shared() {
    std::lock_guard lock(gSharedMutex);
    return sharedPrinter();
}

void Printer::setShared(std::shared_ptr<Printer> printer) {
    std::shared_ptr<Printer> previous;
    {
        std::lock_guard lock(gSharedMutex);
        previous = std::exchange(sharedPrinter(), std::move(printer));
    }
}

bool Printer::isPrintingAvailable() {
    auto printer = shared();
    return printer && printer->printingAvailable();
}

}  // namespace wharf::platform
