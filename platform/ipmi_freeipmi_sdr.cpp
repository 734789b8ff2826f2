// The controller's sensor data repository, read over the connection into the
// 1492-byte sensor records. The full and compact sensor records are kept in
// memory and read again only when the repository's record count or its
// addition or erase time changes (or after ten minutes), so a query costs
// one repository-info request plus one reading per sensor of the type.
#include "platform/ipmi_freeipmi_internal.h"

#include "platform/platform.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace qaxfreeipmi {

namespace {

constexpr uint8_t kNetFnStorage = 0x0A;
constexpr uint8_t kCmdGetSdrRepositoryInfo = 0x20;
constexpr uint8_t kCmdReserveSdrRepository = 0x22;
constexpr uint8_t kCmdGetSdr = 0x23;
constexpr uint8_t kCcInvalidCommand = 0xC1;
constexpr uint8_t kCcReservationCancelled = 0xC5;
constexpr uint8_t kSdrFull = 0x01, kSdrCompact = 0x02;
constexpr unsigned kSdrHeader = 5;
constexpr unsigned kSdrPartial = 16;       // bytes per read when a whole record is refused
constexpr size_t kMaxSdrRecords = 1024;    // a repository larger than this is cut
constexpr uint64_t kSdrMaxAgeMs = 600000;  // re-read even when the repository says nothing changed
constexpr unsigned kNameOffset = 6, kReadingOffset = 198, kMaxReading = 63;

// "25", "22.375", "-4.5": up to three decimals, no trailing zeros.
void FormatReading(double value, char *out, size_t size) {
    if (!isfinite(value) || fabs(value) > 1e12) {
        snprintf(out, size, "Unavailable");
        return;
    }
    snprintf(out, size, "%.3f", value);
    char *dot = strchr(out, '.');
    if (dot == nullptr) return;
    char *end = out + strlen(out) - 1;
    while (end > dot && *end == '0') *end-- = '\0';
    if (end == dot) *end = '\0';
    if (strcmp(out, "-0") == 0) snprintf(out, size, "0");
}

uint32_t Le32(const uint8_t *p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

Link::Xfer Link::RefreshSdr() {
    uint8_t info[16];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdGetSdrRepositoryInfo, nullptr, 0, info, sizeof info, &n);
    if (r != Xfer::Ok) return r;
    if (n >= 1 && info[0] == kCcInvalidCommand) {
        // A controller without a repository has no sensors to offer.
        sdr_.clear();
        sdrValid_ = true;
        sdrLoadedMs_ = RealMonotonicMs();
        return Xfer::Ok;
    }
    if (n >= 1 && info[0] != 0) return Xfer::BadAnswer;
    if (n < 14) return Xfer::BadAnswer;
    const uint16_t count = static_cast<uint16_t>(info[2] | (info[3] << 8));
    const uint32_t added = Le32(info + 6), erased = Le32(info + 10);
    const uint64_t now = RealMonotonicMs();
    if (sdrValid_ && count == sdrCount_ && added == sdrAdded_ && erased == sdrErased_ &&
        now - sdrLoadedMs_ < kSdrMaxAgeMs)
        return Xfer::Ok;
    if (count == 0) {
        sdr_.clear();
        sdrValid_ = true;
    } else {
        r = LoadSdr();
    }
    if (r == Xfer::Ok) {
        sdrCount_ = count;
        sdrAdded_ = added;
        sdrErased_ = erased;
        sdrLoadedMs_ = now;
    }
    return r;
}

Link::Xfer Link::Reserve(uint16_t *reservation) {
    uint8_t rs[8];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdReserveSdrRepository, nullptr, 0, rs, sizeof rs, &n);
    if (r != Xfer::Ok) return r;
    // Without reservations (some controllers) whole-record reads still work.
    *reservation = (n >= 3 && rs[0] == 0) ? static_cast<uint16_t>(rs[1] | (rs[2] << 8)) : 0;
    return Xfer::Ok;
}

// One Get SDR: `count` bytes at `offset` of record `id` into `data`.
// Ok with *cc set; the data are valid only when *cc is 0.
Link::Xfer Link::ReadSdrPart(uint16_t reservation, uint16_t id, unsigned offset, unsigned count,
                             uint8_t *cc, uint8_t *data, uint16_t *next) {
    const uint8_t rq[6] = {static_cast<uint8_t>(reservation & 0xFF),
                           static_cast<uint8_t>(reservation >> 8),
                           static_cast<uint8_t>(id & 0xFF),
                           static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(offset),
                           static_cast<uint8_t>(count)};
    uint8_t rs[3 + kMaxMessage];
    int n = 0;
    Xfer r = Exchange(kNetFnStorage, kCmdGetSdr, rq, sizeof rq, rs, sizeof rs, &n);
    if (r != Xfer::Ok) return r;
    *cc = rs[0];
    if (*cc != 0) return Xfer::Ok;
    if (n < 3 + static_cast<int>(count)) return Xfer::BadAnswer;
    *next = static_cast<uint16_t>(rs[1] | (rs[2] << 8));
    memcpy(data, rs + 3, count);
    return Xfer::Ok;
}

Link::Xfer Link::ReadSdrRecord(uint16_t *reservation, uint16_t id, std::vector<uint8_t> *record,
                               uint16_t *next) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint8_t cc = 0;
        uint8_t data[kMaxMessage];
        Xfer r = ReadSdrPart(*reservation, id, 0, kSdrHeader, &cc, data, next);
        if (r != Xfer::Ok) return r;
        if (cc == kCcReservationCancelled) {
            if ((r = Reserve(reservation)) != Xfer::Ok) return r;
            continue;
        }
        if (cc != 0) return Xfer::BadAnswer;
        // Record id 0 names the first record: the rest is read by its own id.
        const uint16_t actual = static_cast<uint16_t>(data[0] | (data[1] << 8));
        const unsigned body = data[4];
        record->assign(data, data + kSdrHeader);
        if (body == 0) return Xfer::Ok;
        // The whole body at once, else in small parts (controllers with
        // small buffers refuse large reads). 0xFF would mean "all of it".
        uint16_t ignored;
        cc = 0xFF;
        if (body < 0xFF) {
            r = ReadSdrPart(*reservation, actual, kSdrHeader, body, &cc, data, &ignored);
            if (r != Xfer::Ok) return r;
            if (cc == 0) {
                record->insert(record->end(), data, data + body);
                return Xfer::Ok;
            }
        }
        bool cancelled = cc == kCcReservationCancelled;
        for (unsigned at = 0; at < body && !cancelled;) {
            const unsigned part = body - at < kSdrPartial ? body - at : kSdrPartial;
            r = ReadSdrPart(*reservation, actual, kSdrHeader + at, part, &cc, data, &ignored);
            if (r != Xfer::Ok) return r;
            if (cc == kCcReservationCancelled)
                cancelled = true;
            else if (cc != 0)
                return Xfer::BadAnswer;
            else {
                record->insert(record->end(), data, data + part);
                at += part;
            }
        }
        if (!cancelled) return Xfer::Ok;
        if ((r = Reserve(reservation)) != Xfer::Ok) return r;
    }
    return Xfer::BadAnswer;
}

Link::Xfer Link::LoadSdr() {
    sdrValid_ = false;
    std::vector<std::vector<uint8_t>> records;
    uint16_t reservation = 0;
    Xfer r = Reserve(&reservation);
    if (r != Xfer::Ok) return r;
    uint16_t id = 0;
    for (size_t i = 0; i < kMaxSdrRecords && id != 0xFFFF; ++i) {
        std::vector<uint8_t> record;
        uint16_t next = 0xFFFF;
        r = ReadSdrRecord(&reservation, id, &record, &next);
        if (r != Xfer::Ok) return r;
        if (record[3] == kSdrFull || record[3] == kSdrCompact) records.push_back(std::move(record));
        if (next == id) break;  // a repository that loops
        id = next;
    }
    sdr_.swap(records);
    sdrValid_ = true;
    return Xfer::Ok;
}

// The reading of one sensor as text; Failed only when the connection failed.
Link::Xfer Link::Reading(const std::vector<uint8_t> &record, char *text, size_t size) {
    snprintf(text, size, "Unavailable");
    if (sensorCtx_ == nullptr) return Xfer::Ok;
    uint8_t raw = 0;
    double *value = nullptr;
    uint16_t events = 0;
    const int rc = g_fi.ipmi_sensor_read(
        sensorCtx_, record.data(), static_cast<unsigned>(record.size()), 0, &raw, &value, &events);
    if (rc == 1 && value != nullptr)
        FormatReading(*value, text, size);
    else if (rc == 1)
        snprintf(text, size, "0x%04X", events);  // a discrete sensor's states
    g_fi.free(value);
    if (rc < 0) {
        const int err = g_fi.ipmi_sensor_read_ctx_errnum(sensorCtx_);
        if ((err == IPMI_SENSOR_READ_ERR_IPMI_ERROR || err == IPMI_SENSOR_READ_ERR_SYSTEM_ERROR) &&
            g_fi.ipmi_ctx_errnum(ctx_) != IPMI_ERR_SUCCESS &&
            SessionBroken(g_fi.ipmi_ctx_errnum(ctx_)))
            return Xfer::Failed;
    }
    return Xfer::Ok;
}

Link::Xfer Link::SensorsOnce(uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written) {
    *written = 0;
    Xfer r = RefreshSdr();
    if (r != Xfer::Ok) return r;
    if (sdrCtx_ == nullptr) sdrCtx_ = g_fi.ipmi_sdr_ctx_create();
    if (sdrCtx_ == nullptr) return Xfer::Refused;
    uint32_t at = 0;
    for (const std::vector<uint8_t> &record : sdr_) {
        const unsigned length = static_cast<unsigned>(record.size());
        uint8_t sensorType = 0, number = 0, recordType = 0;
        uint16_t recordId = 0;
        if (g_fi.ipmi_sdr_parse_sensor_type(sdrCtx_, record.data(), length, &sensorType) < 0 ||
            sensorType != type)
            continue;
        if (size - at < QAX_SENSOR_RECORD_SIZE) break;
        if (g_fi.ipmi_sdr_parse_record_id_and_type(sdrCtx_, record.data(), length, &recordId,
                                                   &recordType) < 0 ||
            g_fi.ipmi_sdr_parse_sensor_number(sdrCtx_, record.data(), length, &number) < 0)
            continue;
        char name[IPMI_SDR_MAX_ID_STRING_LENGTH + 1] = {};
        if (g_fi.ipmi_sdr_parse_id_string(sdrCtx_, record.data(), length, name, sizeof name - 1) <
            0)
            continue;
        char reading[kMaxReading + 1];
        if ((r = Reading(record, reading, sizeof reading)) != Xfer::Ok) return r;

        uint8_t *out = buffer + at;
        memset(out, 0, QAX_SENSOR_RECORD_SIZE);
        out[0] = static_cast<uint8_t>(recordId & 0xFF);
        out[1] = static_cast<uint8_t>(recordId >> 8);
        out[2] = 0;
        out[3] = sensorType;
        out[4] = number;
        memcpy(out + kNameOffset, name, strnlen(name, sizeof name - 1));
        memcpy(out + kReadingOffset, reading, strnlen(reading, kMaxReading));
        at += QAX_SENSOR_RECORD_SIZE;
    }
    *written = at;
    return Xfer::Ok;
}

}  // namespace qaxfreeipmi
