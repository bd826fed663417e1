#pragma once
// The base of loggers that store entries in a database. It decides when the
// buffered entries are saved (by count or by time after the first unsaved
// one) and when old ones are purged, and calls four hooks that a subclass
// overrides. Everything here runs on the logger's queue.
#include <cstdint>
#include <memory>

#include "logging/LGAbstractLogger.h"
#include "platform/base/Clock.h"

namespace wharf {

class LGAbstractDatabaseLogger : public LGAbstractLogger {
public:
    // `clock` decides "now" for the save and purge schedule; the process clock
    // when null.
    explicit LGAbstractDatabaseLogger(std::shared_ptr<platform::Clock> clock = nullptr);
    ~LGAbstractDatabaseLogger() override;

    uint64_t saveThreshold();
    void setSaveThreshold(uint64_t threshold);
    double saveInterval();
    void setSaveInterval(double seconds);
    double maxAge();
    void setMaxAge(double seconds);
    double deleteInterval();
    void setDeleteInterval(double seconds);
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool value);

    // A save / a purge, on the logger's queue (at once when already there).
    void savePendingLogEntries();
    void deleteOldLogEntries();

    void didAddLogger() override;
    void willRemoveLogger() override;
    void logMessage(const LGLogMessage& message) override;
    void flush() override;

protected:
    // Hooks, called on the logger's queue one at a time.
    // Buffer the entry; false when it was not taken.
    virtual bool db_log(const LGLogMessage& message);
    // Write every buffered entry.
    virtual void db_save();
    // Purge entries older than now minus maxAge_.
    virtual void db_delete();
    // Write the buffer and purge.
    virtual void db_saveAndDelete();

    // The settings, read directly by subclasses on the logger's queue.
    uint64_t saveThreshold_ = 500;
    double saveInterval_ = 60.0;
    double maxAge_ = 604800.0;
    double deleteInterval_ = 300.0;
    bool deleteOnEverySave_ = false;

    const std::shared_ptr<platform::Clock>& clock() const { return clock_; }

private:
    using TimerPtr = std::unique_ptr<platform::dispatch::TimerSource>;
    // Monotonic nanoseconds of the clock; never 0.
    uint64_t now() const;

    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void destroySaveTimer();
    void updateAndResumeSaveTimer();
    void createSuspendedSaveTimer();
    void destroyDeleteTimer();
    void updateDeleteTimer();
    void createAndStartDeleteTimer();
    // Handlers hold the logger weakly: a timer never keeps it alive.
    std::function<void()> weakly(void (LGAbstractDatabaseLogger::*action)());

    std::shared_ptr<platform::Clock> clock_;
    bool saveTimerSuspended_ = false;
    uint64_t unsavedCount_ = 0;
    uint64_t unsavedTime_ = 0;
    TimerPtr saveTimer_;
    uint64_t lastDeleteTime_ = 0;
    TimerPtr deleteTimer_;
};

}  // namespace wharf
