#pragma once
// One log file: path, dates, size, age and the archived mark. Caches what it
// reads from the file system until reset(). Not thread-safe: one owner.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace wharf {

// The extended attribute that marks a file as archived.
inline constexpr const char* LGLogFileArchivedAttribute = "user.wharf.log.archived";

class LGLogFileInfo {
public:
    static std::shared_ptr<LGLogFileInfo> logFileWithPath(const std::string& path,
                                                          std::shared_ptr<platform::Clock> clock = nullptr);
    // `clock` gives "now" for age(); the process clock when null.
    explicit LGLogFileInfo(std::string filePath, std::shared_ptr<platform::Clock> clock = nullptr);

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
    std::optional<std::string> fileName_;
    bool attributesRead_ = false;
    bool exists_ = false;
    std::optional<double> creationDate_;
    std::optional<double> modificationDate_;
    uint64_t fileSize_ = 0;  // 0 = not read yet
};

}  // namespace wharf
