#include "logging/LGTTYLogger.h"

#include <errno.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <strings.h>

#include "logging/LGInternal.h"

namespace wharf {

namespace {

bool containsIgnoringCase(const char* haystack, const char* needle) {
    std::string h(haystack), n(needle);
    for (auto& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return h.find(n) != std::string::npos;
}

const char* const kEscape = "\x1b[";

}  // namespace

// --- colour tables ---------------------------------------------------------------

LGTerminalKind LGTTYLogger::terminalKindForEnvironment(const char* xcodeColors, const char* term) {
    if (xcodeColors && std::string(xcodeColors) == "YES") return LGTerminalKind::RGB;
    if (term && containsIgnoringCase(term, "color")) {
        return containsIgnoringCase(term, "256") ? LGTerminalKind::Colors256 : LGTerminalKind::Colors16;
    }
    return LGTerminalKind::None;
}

LGTerminalKind LGTTYLogger::terminalKindFromEnvironment() {
    return terminalKindForEnvironment(std::getenv("XcodeColors"), std::getenv("TERM"));
}

const LGTTYLogger::ColorTable& LGTTYLogger::initialize_colors_16() {
    static const ColorTable table = [] {
        static const uint8_t rgb[16][3] = {
            {0, 0, 0},      {194, 54, 33},   {37, 188, 36},   {173, 173, 39},  {73, 46, 225}, {211, 56, 211},
            {51, 187, 200}, {203, 204, 205}, {129, 131, 131}, {252, 57, 31},   {49, 231, 34}, {234, 236, 35},
            {88, 51, 255},  {249, 53, 248},  {20, 240, 240},  {233, 235, 235},
        };
        ColorTable t;
        for (int i = 0; i < 16; ++i) {
            std::string bold = i >= 8 ? "1;" : "";
            t.foregroundCodes.push_back(bold + std::to_string(30 + i % 8) + "m");
            t.backgroundCodes.push_back(bold + std::to_string(40 + i % 8) + "m");
            t.colors.push_back(LGColor::fromBytes(rgb[i][0], rgb[i][1], rgb[i][2]));
        }
        return t;
    }();
    return table;
}

const LGTTYLogger::ColorTable& LGTTYLogger::initialize_colors_256() {
    static const ColorTable table = [] {
        static const uint8_t levels[6] = {0, 95, 135, 175, 215, 255};
        ColorTable t;
        for (int number = 16; number <= 255; ++number) {
            uint8_t r, g, b;
            if (number < 232) {
                int i = number - 16;
                r = levels[i / 36];
                g = levels[(i / 6) % 6];
                b = levels[i % 6];
            } else {
                r = g = b = static_cast<uint8_t>(8 + 10 * (number - 232));
            }
            // Rows as the usual terminal profile shows them.
            switch (number) {
            case 16: r = 47, g = 49, b = 49; break;
            case 17: r = 60, g = 42, b = 144; break;
            case 18: r = 66, g = 44, b = 183; break;
            case 216: r = 252, g = 187, b = 148; break;
            case 250: r = 200, g = 201, b = 202; break;
            case 255: r = 240, g = 242, b = 242; break;
            default: break;
            }
            t.foregroundCodes.push_back("38;5;" + std::to_string(number) + "m");
            t.backgroundCodes.push_back("48;5;" + std::to_string(number) + "m");
            t.colors.push_back(LGColor::fromBytes(r, g, b));
        }
        return t;
    }();
    return table;
}

void LGTTYLogger::getRed(double* red, double* green, double* blue, const LGColor& color) {
    if (red) *red = color.red;
    if (green) *green = color.green;
    if (blue) *blue = color.blue;
}

uint64_t LGTTYLogger::codeIndexForColor(const LGColor& color, const ColorTable& table) {
    double best = 100.0;
    uint64_t index = 0;
    for (std::size_t i = 0; i < table.colors.size(); ++i) {
        const LGColor& c = table.colors[i];
        double distance = std::sqrt(std::pow(c.red - color.red, 2) + std::pow(c.green - color.green, 2) +
                                    std::pow(c.blue - color.blue, 2));
        if (distance < best) {
            best = distance;
            index = i;
        }
    }
    return index;
}

// --- profiles --------------------------------------------------------------------------

LGTTYLoggerColorProfile::LGTTYLoggerColorProfile(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                                 uint64_t flag, int64_t ctx, LGTerminalKind terminal)
    : mask(flag), context(ctx) {
    auto toByte = [](double component) {
        double v = component * 255;
        if (!(v > 0)) return uint8_t{0};
        return v >= 255 ? uint8_t{255} : static_cast<uint8_t>(v);
    };
    const LGTTYLogger::ColorTable* table = nullptr;
    if (terminal == LGTerminalKind::Colors16) table = &LGTTYLogger::initialize_colors_16();
    if (terminal == LGTerminalKind::Colors256) table = &LGTTYLogger::initialize_colors_256();

    auto makeCode = [&](const std::optional<LGColor>& color, uint8_t& r, uint8_t& g, uint8_t& b, uint64_t& index,
                        std::string& raw, std::string& code, bool isForeground) {
        if (!color) return;
        r = toByte(color->red);
        g = toByte(color->green);
        b = toByte(color->blue);
        if (table) {
            index = LGTTYLogger::codeIndexForColor(*color, *table);
            const auto& codes = isForeground ? table->foregroundCodes : table->backgroundCodes;
            if (index < codes.size()) raw = codes[index];
            code = kEscape + raw;
        } else if (terminal == LGTerminalKind::RGB) {
            char buffer[24];
            std::snprintf(buffer, sizeof buffer, "%s%s%u,%u,%u;", kEscape, isForeground ? "fg" : "bg", r, g, b);
            code = buffer;
        }
    };
    makeCode(foreground, fg_r, fg_g, fg_b, fgCodeIndex, fgCodeRaw, fgCode, true);
    makeCode(background, bg_r, bg_g, bg_b, bgCodeIndex, bgCodeRaw, bgCode, false);
    if (table) resetCode = std::string(kEscape) + "0m";
    if (terminal == LGTerminalKind::RGB) resetCode = std::string(kEscape) + ";";
}

std::string LGTTYLoggerColorProfile::description() const {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer,
                  "<LGTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%s bgCode:%s>",
                  static_cast<const void*>(this), static_cast<int>(mask), static_cast<long>(context), fg_r, fg_g, fg_b,
                  bg_r, bg_g, bg_b, fgCodeRaw.c_str(), bgCodeRaw.c_str());
    return buffer;
}

// --- the logger ------------------------------------------------------------------------------

std::shared_ptr<LGTTYLogger> LGTTYLogger::sharedInstance() {
    static const std::shared_ptr<LGTTYLogger>* instance =
        new std::shared_ptr<LGTTYLogger>(std::make_shared<LGTTYLogger>(2, terminalKindFromEnvironment()));
    return *instance;
}

LGTTYLogger::LGTTYLogger(int fd, std::optional<LGTerminalKind> terminal)
    : fd_(fd), terminal_(terminal ? *terminal : terminalKindFromEnvironment()) {
    appName_ = program_invocation_short_name ? program_invocation_short_name : "";
    if (appName_.empty()) appName_ = "<UnnamedApp>";
    processID_ = std::to_string(::getpid());
    colorProfilesArray_.reserve(8);
}

bool LGTTYLogger::colorsEnabled() {
    return readSetting([this] { return colorsEnabled_; });
}

void LGTTYLogger::setColorsEnabled(bool enabled) {
    changeSetting(
        [this, enabled] {
            colorsEnabled_ = enabled;
            if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
        },
        true);
}

void LGTTYLogger::loadDefaultColorProfiles() {
    auto add = [this](LGColor fg, uint64_t flag) {
        auto profile = std::make_shared<LGTTYLoggerColorProfile>(fg, std::nullopt, flag, LGLogContextAll, terminal_);
        colorProfilesArray_.push_back(profile);
    };
    add(LGColor::fromBytes(214, 57, 30), LGLogFlagError);
    add(LGColor::fromBytes(204, 121, 32), LGLogFlagWarning);
}

void LGTTYLogger::setForegroundColor(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                     uint64_t flag, int64_t context) {
    changeSetting(
        [this, foreground, background, flag, context] {
            auto profile = std::make_shared<LGTTYLoggerColorProfile>(foreground, background, flag, context, terminal_);
            for (auto& existing : colorProfilesArray_) {
                if (existing->mask == flag && existing->context == context) {
                    existing = profile;
                    return;
                }
            }
            colorProfilesArray_.push_back(profile);
        },
        false);
}

void LGTTYLogger::setForegroundColorForTag(std::optional<LGColor> foreground, std::optional<LGColor> background,
                                           const std::string& tag) {
    changeSetting(
        [this, foreground, background, tag] {
            colorProfilesDict_[tag] =
                std::make_shared<LGTTYLoggerColorProfile>(foreground, background, 0, 0, terminal_);
        },
        false);
}

void LGTTYLogger::clearColorsForFlag(uint64_t flag, int64_t context) {
    changeSetting(
        [this, flag, context] {
            for (auto it = colorProfilesArray_.begin(); it != colorProfilesArray_.end(); ++it) {
                if ((*it)->mask == flag && (*it)->context == context) {
                    colorProfilesArray_.erase(it);
                    return;
                }
            }
        },
        false);
}

void LGTTYLogger::clearColorsForTag(const std::string& tag) {
    changeSetting([this, tag] { colorProfilesDict_.erase(tag); }, false);
}

void LGTTYLogger::clearColorsForAllFlags() {
    changeSetting([this] { colorProfilesArray_.clear(); }, false);
}

void LGTTYLogger::clearColorsForAllTags() {
    changeSetting([this] { colorProfilesDict_.clear(); }, false);
}

void LGTTYLogger::clearAllColors() {
    changeSetting(
        [this] {
            colorProfilesArray_.clear();
            colorProfilesDict_.clear();
        },
        false);
}

const LGTTYLoggerColorProfile* LGTTYLogger::profileFor(const LGLogMessage& message) const {
    if (message.tag()) {
        auto it = colorProfilesDict_.find(*message.tag());
        if (it != colorProfilesDict_.end()) return it->second.get();
    }
    const LGTTYLoggerColorProfile* candidate = nullptr;
    for (const auto& profile : colorProfilesArray_) {
        if ((profile->mask & message.flag()) == 0) continue;
        if (profile->context == message.context()) return profile.get();
        if (profile->context == LGLogContextAll) candidate = profile.get();
    }
    return candidate;
}

void LGTTYLogger::logMessage(const LGLogMessage& message) {
    std::optional<std::string> formatted;
    if (logFormatter_) {
        formatted = logFormatter_->formatLogMessage(message);
        if (!formatted) return;
    }
    std::string_view text = formatted ? std::string_view(*formatted) : message.message();

    static const std::string empty;
    const LGTTYLoggerColorProfile* profile = colorsEnabled_ ? profileFor(message) : nullptr;
    const std::string& fg = profile ? profile->fgCode : empty;
    const std::string& bg = profile ? profile->bgCode : empty;
    const std::string& reset = profile ? profile->resetCode : empty;
    bool endsWithNewline = !text.empty() && text.back() == '\n';

    auto piece = [](std::string_view s) { return iovec{const_cast<char*>(s.data()), s.size()}; };
    static const char newline[] = "\n";

    if (formatted) {
        iovec pieces[5] = {piece(fg), piece(bg), piece(text),
                           piece(std::string_view(newline, automaticallyAppendNewline_ && !endsWithNewline ? 1 : 0)),
                           piece(reset)};
        lg::writevToStream(fd_, pieces, 5);
        return;
    }

    char timestamp[32];
    int timestampLength = 0;
    double seconds = message.timestamp();
    if (std::isfinite(seconds)) {
        double whole = std::floor(seconds);
        auto t = static_cast<time_t>(whole);
        struct tm local {};
        if (localtime_r(&t, &local)) {
            int millis = static_cast<int>((seconds - whole) * 1000);
            timestampLength =
                std::snprintf(timestamp, sizeof timestamp, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                              static_cast<long>(local.tm_year) + 1900, static_cast<long>(local.tm_mon) + 1,
                              static_cast<long>(local.tm_mday), static_cast<long>(local.tm_hour),
                              static_cast<long>(local.tm_min), static_cast<long>(local.tm_sec), millis);
            if (timestampLength < 0) timestampLength = 0;
            if (timestampLength > 23) timestampLength = 23;
        }
    }
    std::string_view threadID = message.threadID().substr(0, 8);
    iovec pieces[13] = {
        piece(fg),
        piece(bg),
        piece(std::string_view(timestamp, static_cast<std::size_t>(timestampLength))),
        piece(" "),
        piece(appName_),
        piece("["),
        piece(processID_),
        piece(":"),
        piece(threadID),
        piece("] "),
        piece(text),
        piece(std::string_view(newline, endsWithNewline ? 0 : 1)),
        piece(reset),
    };
    lg::writevToStream(fd_, pieces, 13);
}

}  // namespace wharf
