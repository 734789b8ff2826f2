// qax-aim: the configuration store and the recorded events from the shell.
// Exit status: 0 done, 1 no value or store failure, 2 bad usage.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/store_db.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: qax-aim get KEY\n"
    "       qax-aim set KEY VALUE [--persistent]\n"
    "       qax-aim clear KEY\n"
    "       qax-aim list [PREFIX]\n"
    "       qax-aim events\n"
    "VALUE is a signed 64-bit decimal integer. Keys set without --persistent\n"
    "live in the volatile database and are gone after a reboot.\n";

int Usage() {
    fputs(kUsage, stderr);
    return kExitUsage;
}

// Strict signed 64-bit decimal: optional '-', then digits only.
bool ParseValue(const char *text, int64_t *value) {
    const char *p = text;
    bool negative = *p == '-';
    if (negative) p++;
    if (*p == '\0') return false;
    // Accumulate towards the negative side, which holds one more value.
    int64_t result = 0;
    for (; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        if (result < (INT64_MIN + digit) / 10) return false;
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == INT64_MIN) return false;
        result = -result;
    }
    *value = result;
    return true;
}

bool CheckKey(const char *key) {
    if (qaxstore::KeyValid(key)) return true;
    fprintf(stderr,
            "qax-aim: invalid key \"%s\" (1 to %zu printable characters, no blank or '=')\n",
            qaxstore::Escape(key, strlen(key)).c_str(), qaxstore::kMaxKeyLength);
    return false;
}

// "2026-12-06T02:10:00.123Z" (UTC); a time out of the calendar's reach is
// printed as raw milliseconds.
std::string FormatTime(int64_t ms) {
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char text[64];
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 < 0 || tm.tm_year + 1900 > 9999) {
        snprintf(text, sizeof text, "%lldms", static_cast<long long>(ms));
    } else {
        snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 static_cast<int>(millis));
    }
    return text;
}

int Get(int argc, char **argv) {
    if (argc != 3) return Usage();
    if (!CheckKey(argv[2])) return kExitUsage;
    int64_t value;
    if (!aim_config_get_int64(argv[2], &value)) {
        fprintf(stderr, "qax-aim: %s: no value\n", argv[2]);
        return kExitFailed;
    }
    printf("%lld\n", static_cast<long long>(value));
    return kExitOk;
}

int Set(int argc, char **argv) {
    int persistent = 0;
    if (argc == 5 && strcmp(argv[4], "--persistent") == 0) {
        persistent = 1;
    } else if (argc != 4) {
        return Usage();
    }
    if (!CheckKey(argv[2])) return kExitUsage;
    int64_t value;
    if (!ParseValue(argv[3], &value)) {
        fprintf(stderr, "qax-aim: invalid value \"%s\" (a signed 64-bit decimal integer)\n",
                qaxstore::Escape(argv[3], strlen(argv[3])).c_str());
        return kExitUsage;
    }
    if (!aim_config_set_int64(argv[2], value, persistent)) {
        fprintf(stderr, "qax-aim: %s: not stored\n", argv[2]);
        return kExitFailed;
    }
    return kExitOk;
}

int Clear(int argc, char **argv) {
    if (argc != 3) return Usage();
    if (!CheckKey(argv[2])) return kExitUsage;
    if (!aim_config_clear(argv[2])) {
        fprintf(stderr, "qax-aim: %s: not cleared\n", argv[2]);
        return kExitFailed;
    }
    return kExitOk;
}

int List(int argc, char **argv) {
    if (argc > 3) return Usage();
    std::vector<qaxstore::Entry> entries;
    bool ok = qaxstore::ListEntries(argc == 3 ? argv[2] : nullptr, &entries);
    for (const qaxstore::Entry &e : entries)
        printf("%s=%lld\n", qaxstore::Escape(e.key.data(), e.key.size()).c_str(),
               static_cast<long long>(e.value));
    if (!ok) {
        fputs("qax-aim: the store could not be read completely\n", stderr);
        return kExitFailed;
    }
    return kExitOk;
}

int Events(int argc, char **) {
    if (argc != 2) return Usage();
    std::vector<qaxstore::Event> events;
    if (!qaxstore::ReadEvents(&events)) {
        fputs("qax-aim: the events could not be read\n", stderr);
        return kExitFailed;
    }
    for (const qaxstore::Event &e : events) {
        std::string line = FormatTime(e.timeMs) + " " + std::to_string(e.id);
        if (e.hasOld) line += " old=" + qaxstore::Escape(e.oldValue.data(), e.oldValue.size());
        if (e.hasNew) line += " new=" + qaxstore::Escape(e.newValue.data(), e.newValue.size());
        puts(line.c_str());
    }
    return kExitOk;
}

int Dispatch(int argc, char **argv) {
    if (argc < 2) return Usage();
    const char *command = argv[1];
    if (strcmp(command, "-h") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "help") == 0) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (strcmp(command, "get") == 0) return Get(argc, argv);
    if (strcmp(command, "set") == 0) return Set(argc, argv);
    if (strcmp(command, "clear") == 0) return Clear(argc, argv);
    if (strcmp(command, "list") == 0) return List(argc, argv);
    if (strcmp(command, "events") == 0) return Events(argc, argv);
    return Usage();
}

}  // namespace

int main(int argc, char **argv) {
    int status = Dispatch(argc, argv);
    aim_config_close();
    // Output lost to a full disk or a closed pipe must not look like success.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("qax-aim: cannot write the output\n", stderr);
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}
