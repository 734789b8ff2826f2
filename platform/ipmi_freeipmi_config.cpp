// Configuration of the inband and lan transports from the environment.
#include "platform/ipmi_freeipmi_internal.h"

#include <string.h>

namespace qaxfreeipmi {

const char *KindName(QaxLinkKind kind) { return kind == QaxLinkKind::Lan ? "lan" : "inband"; }

std::string Quoted(const char *text) {
    std::string s = "\"";
    for (const char *p = text; *p && s.size() < 40; ++p) s += (*p >= ' ' && *p < 0x7F) ? *p : '?';
    return s + "\"";
}

}  // namespace qaxfreeipmi

using qaxfreeipmi::KindName;
using qaxfreeipmi::Quoted;

namespace {

struct FlagName {
    const char *name;
    unsigned flag;
};

const FlagName kLanWorkarounds[] = {
    {"authcap", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES},
    {"intel20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_INTEL_2_0_SESSION},
    {"supermicro20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUPERMICRO_2_0_SESSION},
    {"sun20", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUN_2_0_SESSION},
    {"opensesspriv", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE},
    {"integritycheckvalue", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NON_EMPTY_INTEGRITY_CHECK_VALUE},
    {"nochecksumcheck", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK},
};
const FlagName kInbandWorkarounds[] = {
    {"assumeio", IPMI_WORKAROUND_FLAGS_INBAND_ASSUME_IO_BASE_ADDRESS},
    {"spinpoll", IPMI_WORKAROUND_FLAGS_INBAND_SPIN_POLL},
};

// Decimal, or hexadecimal after 0x; the whole text, at most `max`.
bool ParseNumber(const char *text, unsigned long long max, unsigned long long *value) {
    if (text == nullptr || *text == '\0') return false;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *p = hex ? text + 2 : text;
    if (*p == '\0') return false;
    unsigned long long v = 0;
    for (; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (hex && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (hex && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            return false;
        v = v * (hex ? 16 : 10) + digit;
        if (v > max) return false;
    }
    *value = v;
    return true;
}

// Printable ASCII without blanks, quotes or backslashes, within `maxLength`.
bool PlainText(const char *text, size_t maxLength) {
    size_t n = 0;
    for (const char *p = text; *p; ++p, ++n) {
        if (n >= maxLength) return false;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c >= 0x7F || c == '"' || c == '\\' || c == '\'') return false;
    }
    return true;
}

}  // namespace

bool QaxLinkParseWorkarounds(QaxLinkKind kind, const char *text, unsigned *flags,
                             std::string *error) {
    *flags = 0;
    if (text == nullptr || *text == '\0') return true;
    unsigned long long number = 0;
    if (ParseNumber(text, 0xFFFFFFFFULL, &number)) {
        *flags = static_cast<unsigned>(number);
        return true;
    }
    const FlagName *table = kind == QaxLinkKind::Lan ? kLanWorkarounds : kInbandWorkarounds;
    const size_t count = kind == QaxLinkKind::Lan
                             ? sizeof kLanWorkarounds / sizeof *kLanWorkarounds
                             : sizeof kInbandWorkarounds / sizeof *kInbandWorkarounds;
    const std::string all = text;
    size_t at = 0;
    while (at <= all.size()) {
        size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        const std::string name = all.substr(at, end - at);
        bool found = false;
        for (size_t i = 0; i < count && !found; ++i) {
            if (name == table[i].name) {
                *flags |= table[i].flag;
                found = true;
            }
        }
        if (!found) {
            std::string known;
            for (size_t i = 0; i < count; ++i)
                known += (i ? ", " : "") + std::string(table[i].name);
            *error = "QAX_IPMI_WORKAROUNDS: unknown " + std::string(KindName(kind)) +
                     " workaround " + Quoted(name.c_str()) + " (known: " + known + ", or a number)";
            *flags = 0;
            return false;
        }
        at = end + 1;
    }
    return true;
}

bool QaxLinkParseConfig(QaxLinkKind kind, QaxEnvLookup lookup, QaxLinkConfig *config,
                        std::string *error) {
    QaxLinkConfig c;
    c.kind = kind;
    auto get = [lookup](const char *name) -> const char * {
        const char *v = lookup(name);
        return v != nullptr && *v != '\0' ? v : nullptr;
    };
    unsigned long long n = 0;
    const char *v;
    if (!QaxLinkParseWorkarounds(kind, lookup("QAX_IPMI_WORKAROUNDS"), &c.workarounds, error))
        return false;
    if (kind == QaxLinkKind::Inband) {
        if ((v = get("QAX_IPMI_DEVICE")) != nullptr) {
            if (v[0] != '/' || !PlainText(v, 255)) {
                *error = "QAX_IPMI_DEVICE must be an absolute device path";
                return false;
            }
            c.device = v;
        }
        *config = c;
        return true;
    }

    if ((v = get("QAX_IPMI_HOST")) == nullptr) {
        *error = "QAX_IPMI_HOST is not set";
        return false;
    }
    if (!PlainText(v, 255)) {
        *error = "QAX_IPMI_HOST " + Quoted(v) + " is not a host name or address";
        return false;
    }
    c.host = v;
    if ((v = get("QAX_IPMI_PORT")) != nullptr) {
        if (!ParseNumber(v, 65535, &n) || n == 0 || v[0] == '0') {
            *error = "QAX_IPMI_PORT " + Quoted(v) + " is not a port number (1..65535)";
            return false;
        }
        c.port = static_cast<unsigned>(n);
    }
    if ((v = get("QAX_IPMI_USER")) != nullptr) {
        if (!PlainText(v, IPMI_MAX_USER_NAME_LENGTH)) {
            *error = "QAX_IPMI_USER must be at most 16 printable characters without blanks";
            return false;
        }
        c.user = v;
    }
    if ((v = get("IPMI_PASSWORD")) != nullptr) {
        if (strlen(v) > IPMI_2_0_MAX_PASSWORD_LENGTH) {
            *error = "IPMI_PASSWORD is longer than 20 characters";
            return false;
        }
        c.password = v;
    }
    if ((v = get("QAX_IPMI_CIPHER")) != nullptr) {
        static const unsigned kSuites[] = {0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17};
        bool ok = ParseNumber(v, 255, &n);
        bool known = false;
        for (unsigned s : kSuites) known = known || (ok && n == s);
        if (!known) {
            *error = "QAX_IPMI_CIPHER " + Quoted(v) +
                     " is not a cipher suite (0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17)";
            return false;
        }
        c.cipherSuite = static_cast<unsigned>(n);
    }
    if ((v = get("QAX_IPMI_PRIVILEGE")) != nullptr) {
        if (strcmp(v, "user") == 0)
            c.privilege = IPMI_PRIVILEGE_LEVEL_USER;
        else if (strcmp(v, "operator") == 0)
            c.privilege = IPMI_PRIVILEGE_LEVEL_OPERATOR;
        else if (strcmp(v, "admin") == 0)
            c.privilege = IPMI_PRIVILEGE_LEVEL_ADMIN;
        else {
            *error = "QAX_IPMI_PRIVILEGE " + Quoted(v) + " is not user, operator or admin";
            return false;
        }
    }
    if ((v = get("QAX_IPMI_TIMEOUT_MS")) != nullptr) {
        if (!ParseNumber(v, 60000, &n) || n < 100) {
            *error = "QAX_IPMI_TIMEOUT_MS " + Quoted(v) + " is not 100..60000";
            return false;
        }
        c.sessionTimeoutMs = static_cast<unsigned>(n);
    }
    c.retransmitTimeoutMs = c.sessionTimeoutMs / 2 < 500 ? c.sessionTimeoutMs / 2 : 500;
    if ((v = get("QAX_IPMI_RETRANSMIT_MS")) != nullptr) {
        if (!ParseNumber(v, 60000, &n) || n < 10 || n >= c.sessionTimeoutMs) {
            *error = "QAX_IPMI_RETRANSMIT_MS " + Quoted(v) +
                     " is not 10.. and below the session time-out (" +
                     std::to_string(c.sessionTimeoutMs) + " ms)";
            return false;
        }
        c.retransmitTimeoutMs = static_cast<unsigned>(n);
    }
    *config = c;
    return true;
}
