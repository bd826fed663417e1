#include "logging/LGAbstractDatabaseLogger.h"

#include <cmath>

#include "logging/LGInternal.h"

namespace wharf {

using platform::dispatch::TimerSource;
using Nanos = std::chrono::nanoseconds;

LGAbstractDatabaseLogger::LGAbstractDatabaseLogger(std::shared_ptr<platform::Clock> clock)
    : clock_(clock ? std::move(clock) : platform::Clock::shared()) {}

LGAbstractDatabaseLogger::~LGAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

uint64_t LGAbstractDatabaseLogger::now() const {
    auto ns = std::chrono::duration_cast<Nanos>(clock_->monotonicNow().time_since_epoch()).count();
    return ns > 0 ? static_cast<uint64_t>(ns) : 1;
}

std::function<void()> LGAbstractDatabaseLogger::weakly(void (LGAbstractDatabaseLogger::*action)()) {
    std::weak_ptr<LGAbstractLogger> weak = weak_from_this();
    return [weak, action] {
        if (auto strong = weak.lock()) (static_cast<LGAbstractDatabaseLogger*>(strong.get())->*action)();
    };
}

// --- hooks ------------------------------------------------------------------------------

bool LGAbstractDatabaseLogger::db_log(const LGLogMessage&) { return false; }
void LGAbstractDatabaseLogger::db_save() {}
void LGAbstractDatabaseLogger::db_delete() {}
void LGAbstractDatabaseLogger::db_saveAndDelete() {}

// --- saving and purging ---------------------------------------------------------------------

void LGAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        if (deleteOnEverySave_) {
            db_saveAndDelete();
        } else {
            db_save();
        }
    }
    unsavedCount_ = 0;
    unsavedTime_ = 0;
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void LGAbstractDatabaseLogger::performDelete() {
    if (maxAge_ > 0) {
        db_delete();
        lastDeleteTime_ = now();
    }
}

void LGAbstractDatabaseLogger::destroySaveTimer() {
    if (!saveTimer_) return;
    saveTimer_->cancel();
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
    saveTimer_.reset();
}

void LGAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || !(saveInterval_ > 0) || unsavedTime_ == 0) return;
    Nanos interval = lg::clampedDuration(saveInterval_);
    uint64_t current = now();
    uint64_t fireAt = unsavedTime_ + static_cast<uint64_t>(interval.count());
    Nanos start = fireAt > current ? Nanos(fireAt - current) : Nanos::zero();
    saveTimer_->setTimer(start, interval, Nanos(1));
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void LGAbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (saveTimer_ || !(saveInterval_ > 0)) return;
    saveTimer_ = std::make_unique<TimerSource>(loggerQueue());
    saveTimer_->setEventHandler(weakly(&LGAbstractDatabaseLogger::performSaveAndSuspendSaveTimer));
    saveTimerSuspended_ = true;
}

void LGAbstractDatabaseLogger::destroyDeleteTimer() {
    if (!deleteTimer_) return;
    deleteTimer_->cancel();
    deleteTimer_.reset();
}

void LGAbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
    Nanos interval = lg::clampedDuration(deleteInterval_);
    uint64_t current = now();
    uint64_t base = lastDeleteTime_ ? lastDeleteTime_ : current;
    uint64_t fireAt = base + static_cast<uint64_t>(interval.count());
    Nanos start = fireAt > current ? Nanos(fireAt - current) : Nanos::zero();
    deleteTimer_->setTimer(start, interval, Nanos(1));
}

void LGAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
    deleteTimer_ = std::make_unique<TimerSource>(loggerQueue());
    deleteTimer_->setEventHandler(weakly(&LGAbstractDatabaseLogger::performDelete));
    updateDeleteTimer();
    deleteTimer_->resume();
}

// --- logger protocol ----------------------------------------------------------------------------

void LGAbstractDatabaseLogger::logMessage(const LGLogMessage& message) {
    if (!db_log(message)) return;
    ++unsavedCount_;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (unsavedCount_ == 1) {
        unsavedTime_ = now();
        updateAndResumeSaveTimer();
    }
}

void LGAbstractDatabaseLogger::didAddLogger() {
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void LGAbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void LGAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

void LGAbstractDatabaseLogger::savePendingLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performSaveAndSuspendSaveTimer();
        return;
    }
    loggerQueue()->async(weakly(&LGAbstractDatabaseLogger::performSaveAndSuspendSaveTimer));
}

void LGAbstractDatabaseLogger::deleteOldLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performDelete();
        return;
    }
    loggerQueue()->async(weakly(&LGAbstractDatabaseLogger::performDelete));
}

// --- settings ---------------------------------------------------------------------------------

uint64_t LGAbstractDatabaseLogger::saveThreshold() {
    return readSetting([this] { return saveThreshold_; });
}

void LGAbstractDatabaseLogger::setSaveThreshold(uint64_t threshold) {
    changeSetting(
        [this, threshold] {
            if (saveThreshold_ == threshold) return;
            saveThreshold_ = threshold;
            if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
        },
        false);
}

double LGAbstractDatabaseLogger::saveInterval() {
    return readSetting([this] { return saveInterval_; });
}

void LGAbstractDatabaseLogger::setSaveInterval(double seconds) {
    if (std::isnan(seconds)) return;
    changeSetting(
        [this, seconds] {
            if (saveInterval_ == seconds) return;
            saveInterval_ = seconds;
            if (saveInterval_ > 0) {
                if (!saveTimer_) createSuspendedSaveTimer();
                updateAndResumeSaveTimer();
            } else if (saveTimer_) {
                destroySaveTimer();
            }
        },
        false);
}

double LGAbstractDatabaseLogger::maxAge() {
    return readSetting([this] { return maxAge_; });
}

void LGAbstractDatabaseLogger::setMaxAge(double seconds) {
    if (std::isnan(seconds)) return;
    changeSetting(
        [this, seconds] {
            if (maxAge_ == seconds) return;
            double old = maxAge_;
            maxAge_ = seconds;
            bool shouldDelete = false;
            if (old > 0 && !(seconds > 0)) {
                destroyDeleteTimer();
            } else if ((old > 0 && seconds < old) || (!(old > 0) && seconds > 0)) {
                shouldDelete = true;
            }
            if (shouldDelete) {
                performDelete();
                if (deleteTimer_) {
                    updateDeleteTimer();
                } else {
                    createAndStartDeleteTimer();
                }
            }
        },
        false);
}

double LGAbstractDatabaseLogger::deleteInterval() {
    return readSetting([this] { return deleteInterval_; });
}

void LGAbstractDatabaseLogger::setDeleteInterval(double seconds) {
    if (std::isnan(seconds)) return;
    changeSetting(
        [this, seconds] {
            if (deleteInterval_ == seconds) return;
            deleteInterval_ = seconds;
            if (deleteInterval_ > 0) {
                if (deleteTimer_) {
                    updateDeleteTimer();
                } else {
                    createAndStartDeleteTimer();
                }
            } else if (deleteTimer_) {
                destroyDeleteTimer();
            }
        },
        false);
}

bool LGAbstractDatabaseLogger::deleteOnEverySave() {
    return readSetting([this] { return deleteOnEverySave_; });
}

void LGAbstractDatabaseLogger::setDeleteOnEverySave(bool value) {
    changeSetting([this, value] { deleteOnEverySave_ = value; }, false);
}

}  // namespace wharf
