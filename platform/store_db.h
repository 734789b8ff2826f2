// Internal to the configuration store, the event sink and qax-aim. The daemon
// uses only the aim_config_* and sw_msg_dispatcher functions of platform.h.
#ifndef QAX_PLATFORM_STORE_DB_H
#define QAX_PLATFORM_STORE_DB_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace qaxstore {

// Longest key accepted, in bytes.
constexpr size_t kMaxKeyLength = 255;
// The events table keeps this many newest events; older ones are dropped.
constexpr int64_t kMaxEvents = 1000;
// Size of each of the two texts of a power-cap event record.
constexpr size_t kEventTextSize = 64;

// A key is 1..kMaxKeyLength bytes of printable ASCII ('!'..'~') without '='
// (so that "KEY=VALUE" lines stay unambiguous).
bool KeyValid(const char *key);

struct Entry {
    std::string key;
    int64_t value;
    bool persistent;
};

// Every key holding an integer whose name starts with `prefix` (null or empty:
// all), sorted bytewise. A key found in both databases (only after a move was
// interrupted) is listed once, with the value the getters answer. False when
// a database exists but cannot be read.
bool ListEntries(const char *prefix, std::vector<Entry> *out);

struct Event {
    int64_t timeMs;
    int64_t id;
    bool hasOld;
    bool hasNew;
    std::string oldValue;
    std::string newValue;
};

// Appends one event to the persistent database. A null text is stored as
// NULL. True when recorded.
bool RecordEvent(uint64_t timeMs, unsigned int id, const char *oldValue, size_t oldLength,
                 const char *newValue, size_t newLength);

// All recorded events, oldest first. False when the database exists but
// cannot be read.
bool ReadEvents(std::vector<Event> *out);

// Printable form of an untrusted text: bytes outside '!'..'~' and the
// backslash become \xNN.
std::string Escape(const char *text, size_t length);

}  // namespace qaxstore

#endif
