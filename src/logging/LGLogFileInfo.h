#pragma once
// One log file: path, dates, size, age and the archived mark. Caches what it
// reads from the file system until reset(). Not thread-safe: one owner.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Clock.h"

namespace wharf {

// What the file system tells of one file's times and size.
struct LGFileTimes {
    std::optional<double> birth;  // seconds since 1970; absent where the file system keeps none
    double modification = 0;
    uint64_t size = 0;
};
// Reads them; nullopt when the file cannot be examined.
using LGFileTimesReader = std::function<std::optional<LGFileTimes>(const std::string& path)>;
// The file system's own answer (statx).
std::optional<LGFileTimes> LGReadFileTimes(const std::string& path);

// The extended attribute that marks a file as archived.
inline constexpr const char* LGLogFileArchivedAttribute = "user.wharf.log.archived";

class LGLogFileInfo {
public:
    static std::shared_ptr<LGLogFileInfo> logFileWithPath(const std::string& path,
                                                          std::shared_ptr<platform::Clock> clock = nullptr,
                                                          std::shared_ptr<const LGFileTimesReader> times = nullptr);
    // `clock` gives "now" for age(); the process clock when null. `times`
    // reads the file's dates; the file system (LGReadFileTimes) when null.
    explicit LGLogFileInfo(std::string filePath, std::shared_ptr<platform::Clock> clock = nullptr,
                           std::shared_ptr<const LGFileTimesReader> times = nullptr);

    const std::string& filePath() const { return filePath_; }
    const std::string& fileName();
    // Seconds since 1970: the birth time where the file system keeps one,
    // else the time in the file's name, else the modification time.
    double creationDate();
    double modificationDate();
    uint64_t fileSize();
    // Seconds since creationDate().
    double age();

    bool isArchived();
    void setIsArchived(bool archived);
    void renameFile(const std::string& newName);
    // Forgets cached name, dates and attributes (the size stays).
    void reset();

    // Where the file system refuses user attributes, an attribute is kept as a
    // hidden marker file next to the log (".<file name>.<attribute>") that
    // moves and goes with it.
    bool hasExtendedAttributeWithName(const std::string& name);
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);
    static std::string markerPathFor(const std::string& filePath, const std::string& attribute);
    // Sets an attribute on an open file (by descriptor, so a renamed or deleted
    // file is marked, not whatever now sits at its old path).
    static void addExtendedAttributeToDescriptor(int fd, const std::string& name);
    // Removes a log file and its markers.
    static void removeLogFile(const std::string& path);

    bool operator==(const LGLogFileInfo& other) const { return filePath_ == other.filePath_; }
    // Sort helpers: the later date first.
    static bool reverseCompareByCreationDate(const std::shared_ptr<LGLogFileInfo>& a,
                                             const std::shared_ptr<LGLogFileInfo>& b);
    static bool reverseCompareByModificationDate(const std::shared_ptr<LGLogFileInfo>& a,
                                                 const std::shared_ptr<LGLogFileInfo>& b);
    std::string description();

private:
    void readAttributes();

    std::string filePath_;
    std::shared_ptr<platform::Clock> clock_;
    std::shared_ptr<const LGFileTimesReader> times_;
    std::optional<std::string> fileName_;
    bool attributesRead_ = false;
    bool exists_ = false;
    std::optional<double> creationDate_;
    std::optional<double> modificationDate_;
    uint64_t fileSize_ = 0;  // 0 = not read yet
};

}  // namespace wharf
