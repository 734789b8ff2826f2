// Event sink: every software event becomes one row of the persistent
// database's events table (read back with "qax-aim events") and one line in
// the system log.
#include <string.h>
#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/store_db.h"

namespace {

// Events whose record carries the old and the new power-cap value: two
// texts of qaxstore::kEventTextSize bytes each, not trusted to be terminated.
bool CarriesValues(unsigned int eventId) { return eventId >= 114 && eventId <= 116; }

void OpenSystemLog() {
    static std::once_flag once;
    std::call_once(once, [] { openlog("qax", LOG_PID, LOG_USER); });
}

}  // namespace

int sw_msg_dispatcher(unsigned int eventId, void *record) {
    const char *oldValue = nullptr;
    const char *newValue = nullptr;
    size_t oldLength = 0;
    size_t newLength = 0;
    if (CarriesValues(eventId) && record != nullptr) {
        const char *texts = static_cast<const char *>(record);
        oldValue = texts;
        oldLength = strnlen(oldValue, qaxstore::kEventTextSize);
        newValue = texts + qaxstore::kEventTextSize;
        newLength = strnlen(newValue, qaxstore::kEventTextSize);
    }

    bool recorded =
        qaxstore::RecordEvent(QaxClockWallMs(), eventId, oldValue, oldLength, newValue, newLength);

    OpenSystemLog();
    const char *note = recorded ? "" : " (not recorded)";
    if (oldValue != nullptr) {
        syslog(recorded ? LOG_NOTICE : LOG_ERR, "event %u old=%s new=%s%s", eventId,
               qaxstore::Escape(oldValue, oldLength).c_str(),
               qaxstore::Escape(newValue, newLength).c_str(), note);
    } else {
        syslog(recorded ? LOG_NOTICE : LOG_ERR, "event %u%s", eventId, note);
    }
    return recorded ? 0 : 1;
}
