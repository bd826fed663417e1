#pragma once
// The console logger: one line per message on standard error (or a given
// descriptor), written by one gathering write, optionally coloured by flag,
// by flag and context, or by tag.
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/LGAbstractLogger.h"

namespace wharf {

// A colour as red, green and blue components from 0 to 1.
struct LGColor {
    double red = 0, green = 0, blue = 0;
    static LGColor fromBytes(uint8_t r, uint8_t g, uint8_t b) { return {r / 255.0, g / 255.0, b / 255.0}; }
};

// What the terminal understands: nothing, ANSI 16 or 256 colours, or the
// RGB escape form ("XcodeColors").
enum class LGTerminalKind { None, Colors16, Colors256, RGB };

// A context value that matches every context.
inline constexpr int64_t LGLogContextAll = 2147483647;

class LGTTYLoggerColorProfile {
public:
    LGTTYLoggerColorProfile(std::optional<LGColor> foreground, std::optional<LGColor> background, uint64_t flag,
                            int64_t context, LGTerminalKind terminal);
    std::string description() const;

    uint64_t mask = 0;
    int64_t context = 0;
    uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
    uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
    uint64_t fgCodeIndex = 0;
    std::string fgCodeRaw;
    uint64_t bgCodeIndex = 0;
    std::string bgCodeRaw;
    std::string fgCode;  // ready escape sequences
    std::string bgCode;
    std::string resetCode;
};

class LGTTYLogger : public LGAbstractLogger {
public:
    // A table of terminal colours: parallel codes and their RGB colours.
    struct ColorTable {
        std::vector<std::string> foregroundCodes;
        std::vector<std::string> backgroundCodes;
        std::vector<LGColor> colors;
    };

    // The process's console logger: standard error, the terminal kind taken
    // from the environment once.
    static std::shared_ptr<LGTTYLogger> sharedInstance();
    // A logger writing to `fd` for the given terminal kind.
    explicit LGTTYLogger(int fd = 2, std::optional<LGTerminalKind> terminal = std::nullopt);

    // Decides the terminal kind from the values of "XcodeColors" and "TERM"
    // (null when unset).
    static LGTerminalKind terminalKindForEnvironment(const char* xcodeColors, const char* term);
    static LGTerminalKind terminalKindFromEnvironment();
    static const ColorTable& initialize_colors_16();
    static const ColorTable& initialize_colors_256();
    static void getRed(double* red, double* green, double* blue, const LGColor& color);
    // Index of the nearest table colour (0 for an empty table).
    static uint64_t codeIndexForColor(const LGColor& color, const ColorTable& table);

    std::string loggerName() override { return "wharf.logging.ttyLogger"; }
    void logMessage(const LGLogMessage& message) override;

    LGTerminalKind terminalKind() const { return terminal_; }
    bool colorsEnabled();
    void setColorsEnabled(bool enabled);
    void loadDefaultColorProfiles();  // on the logger's queue
    void setForegroundColor(std::optional<LGColor> foreground, std::optional<LGColor> background, uint64_t flag,
                            int64_t context = LGLogContextAll);
    void setForegroundColorForTag(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                  const std::string& tag);
    void clearColorsForFlag(uint64_t flag, int64_t context = 0);
    void clearColorsForTag(const std::string& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

    // Plain field: set before registering the logger.
    bool automaticallyAppendNewlineForCustomFormatters() const { return automaticallyAppendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { automaticallyAppendNewline_ = value; }

private:
    const LGTTYLoggerColorProfile* profileFor(const LGLogMessage& message) const;

    int fd_;
    LGTerminalKind terminal_;
    std::string appName_;
    std::string processID_;
    bool colorsEnabled_ = false;
    std::vector<std::shared_ptr<LGTTYLoggerColorProfile>> colorProfilesArray_;
    std::map<std::string, std::shared_ptr<LGTTYLoggerColorProfile>> colorProfilesDict_;
    std::atomic<bool> automaticallyAppendNewline_{true};
};

}  // namespace wharf
