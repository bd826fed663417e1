#pragma once
// A print controller for unit tests: remembers how it was set up and what it
// was asked to print, and lets the test end the dialog or job as a user or a
// printer would.
#include <optional>
#include <string>
#include <vector>

#include "platform/device/Printer.h"

namespace wharf::test {

class RecordingPrinter : public platform::Printer {
public:
    struct Request {
        std::string kind;  // "dialog", "printer" or "picker"
        std::string printerURL;
        platform::PrintInfo info;
        platform::PrintFormatter formatter;
        bool showsPageRange = false, showsNumberOfCopies = false, showsPaperSelection = false;
        platform::PrintCompletion completion;
        platform::PrinterPickerCompletion pickerCompletion;
    };

    bool available = true;
    std::vector<Request> requests;

    bool printingAvailable() const override { return available; }
    void presentAnimated(bool, platform::PrintCompletion completion) override {
        record("dialog", "").completion = std::move(completion);
    }
    void printToPrinter(const std::string& printerURL, platform::PrintCompletion completion) override {
        record("printer", printerURL).completion = std::move(completion);
    }
    void presentPrinterPicker(bool, platform::PrinterPickerCompletion completion) override {
        record("picker", "").pickerCompletion = std::move(completion);
    }

    // The user closes the options of the last dialog; then the job ends.
    void dismissOptions() {
        if (auto d = delegate()) d->printerDidDismissPrinterOptions();
    }
    void complete(bool completed, const platform::Error* error = nullptr) {
        requests.back().completion(completed, error);
    }

private:
    Request& record(const std::string& kind, const std::string& url) {
        requests.push_back(Request{kind,
                                   url,
                                   printInfo(),
                                   printFormatter(),
                                   showsPageRange(),
                                   showsNumberOfCopies(),
                                   showsPaperSelectionForLoadedPapers(),
                                   {},
                                   {}});
        return requests.back();
    }
};

}  // namespace wharf::test
