#pragma once
// Printing: the application's one print controller. It prints what a web
// view shows, through a print dialog or straight to a printer named by URL,
// and lets the user pick a printer. On the desktop it prints through
// WebKitGTK and GTK's print system: a "file:" URL (".pdf", ".ps" or ".svg") is
// GTK's print-to-file printer, any other printer URL names a CUPS queue
// ("ipp://localhost/printers/<queue>"). Tests install a controller of their
// own. Main thread, except isPrintingAvailable().
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.h"

namespace wharf::platform {

class WebView;

// Values as the phone numbers them.
enum PrintInfoOutputType : int {
    PrintInfoOutputGeneral = 0,
    PrintInfoOutputPhoto = 1,
    PrintInfoOutputGrayscale = 2,
    PrintInfoOutputPhotoGrayscale = 3,
};
enum PrintInfoOrientation : int { PrintInfoOrientationPortrait = 0, PrintInfoOrientationLandscape = 1 };
enum PrintInfoDuplex : int { PrintInfoDuplexNone = 0, PrintInfoDuplexLongEdge = 1, PrintInfoDuplexShortEdge = 2 };

struct PrintInfo {
    int outputType = PrintInfoOutputGeneral;
    int orientation = PrintInfoOrientationPortrait;
    int duplex = PrintInfoDuplexNone;
    std::string jobName;
};

// What prints: the content of a web view. `owner`, when set, keeps the view
// alive as long as the controller holds the formatter.
struct PrintFormatter {
    WebView* view = nullptr;
    std::shared_ptr<WebView> owner;
    double maximumContentWidth = 0;
    double maximumContentHeight = 0;
};

// Runs once, on the main thread: `completed` is true when the job was
// printed, false when it was cancelled (no error) or failed (the error).
using PrintCompletion = std::function<void(bool completed, const Error* error)>;
// The URL of the printer the user chose, or nullopt when none was chosen.
using PrinterPickerCompletion = std::function<void(const std::optional<std::string>& printerURL)>;

class PrinterDelegate {
public:
    virtual ~PrinterDelegate() = default;
    // The user closed the print options (printing or not).
    virtual void printerDidDismissPrinterOptions() {}
};

class Printer {
public:
    // The shared controller; null until one is installed.
    static std::shared_ptr<Printer> shared();
    static void setShared(std::shared_ptr<Printer> printer);
    // Whether printing can be offered at all. Any thread: it never touches
    // the GUI toolkit.
    static bool isPrintingAvailable();

    virtual ~Printer() = default;

    const PrintInfo& printInfo() const { return printInfo_; }
    void setPrintInfo(PrintInfo info) { printInfo_ = std::move(info); }
    bool showsPageRange() const { return showsPageRange_; }
    void setShowsPageRange(bool shows) { showsPageRange_ = shows; }
    bool showsNumberOfCopies() const { return showsNumberOfCopies_; }
    void setShowsNumberOfCopies(bool shows) { showsNumberOfCopies_ = shows; }
    bool showsPaperSelectionForLoadedPapers() const { return showsPaperSelection_; }
    void setShowsPaperSelectionForLoadedPapers(bool shows) { showsPaperSelection_ = shows; }
    const PrintFormatter& printFormatter() const { return formatter_; }
    void setPrintFormatter(PrintFormatter formatter) { formatter_ = std::move(formatter); }
    std::shared_ptr<PrinterDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<PrinterDelegate> delegate) { delegate_ = std::move(delegate); }

    // Whether this controller can print (any thread).
    virtual bool printingAvailable() const = 0;
    // Shows the print dialog for the formatter's content. The dialog opens
    // from the main loop, never inside this call.
    virtual void presentAnimated(bool animated, PrintCompletion completion) = 0;
    // Prints the formatter's content to the printer without a dialog.
    virtual void printToPrinter(const std::string& printerURL, PrintCompletion completion) = 0;
    // Lets the user choose a printer (from the main loop, as the dialog).
    virtual void presentPrinterPicker(bool animated, PrinterPickerCompletion completion) = 0;

private:
    PrintInfo printInfo_;
    bool showsPageRange_ = true;
    bool showsNumberOfCopies_ = true;
    bool showsPaperSelection_ = false;
    PrintFormatter formatter_;
    std::weak_ptr<PrinterDelegate> delegate_;
};

}  // namespace wharf::platform
