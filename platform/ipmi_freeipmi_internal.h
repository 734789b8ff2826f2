// What the FreeIPMI backend's files share: the library's functions as loaded
// (ipmi_freeipmi_load.cpp), the connection (ipmi_freeipmi_session.cpp) and
// its sensor repository reader (ipmi_freeipmi_sdr.cpp), and the helpers of
// the configuration (ipmi_freeipmi_config.cpp) that messages use. Only those
// files include it.
#ifndef QAX_PLATFORM_IPMI_FREEIPMI_INTERNAL_H
#define QAX_PLATFORM_IPMI_FREEIPMI_INTERNAL_H

#include "platform/ipmi_freeipmi.h"

#include <freeipmi/freeipmi.h>

#include <stdint.h>
#include <stdlib.h>

#include <mutex>
#include <string>
#include <vector>

namespace qaxfreeipmi {

// FreeIPMI is loaded when the inband or lan transport is first used: a daemon
// on the emulator does not carry the library and its crypto dependencies in
// memory (about 2 MiB of resident pages).
// clang-format off
#define QAX_FREEIPMI_FUNCTIONS(X) \
    X(ipmi_ctx_create) \
    X(ipmi_ctx_destroy) \
    X(ipmi_ctx_close) \
    X(ipmi_ctx_errnum) \
    X(ipmi_ctx_errormsg) \
    X(ipmi_ctx_open_outofband_2_0) \
    X(ipmi_ctx_find_inband) \
    X(ipmi_cmd_raw) \
    X(ipmi_sdr_ctx_create) \
    X(ipmi_sdr_ctx_destroy) \
    X(ipmi_sdr_parse_sensor_type) \
    X(ipmi_sdr_parse_sensor_number) \
    X(ipmi_sdr_parse_record_id_and_type) \
    X(ipmi_sdr_parse_id_string) \
    X(ipmi_sensor_read_ctx_create) \
    X(ipmi_sensor_read_ctx_destroy) \
    X(ipmi_sensor_read_ctx_set_flags) \
    X(ipmi_sensor_read_ctx_errnum) \
    X(ipmi_sensor_read)
// clang-format on

struct FreeIpmiApi {
#define QAX_FREEIPMI_POINTER(name) decltype(&::name) name = nullptr;
    QAX_FREEIPMI_FUNCTIONS(QAX_FREEIPMI_POINTER)
#undef QAX_FREEIPMI_POINTER
    // Releases what FreeIPMI allocated. In a statically linked executable
    // (no program interpreter) FreeIPMI runs on a C library of its own, whose
    // heap is not ours; otherwise both share the process's allocator.
    decltype(&::free) free = ::free;
};
extern FreeIpmiApi g_fi;

// Loads the library once; false with the reason when it or a function is
// missing.
bool LoadFreeIpmi(std::string *why);

constexpr int kMaxMessage = 255;  // data bytes of an IPMI message

const char *KindName(QaxLinkKind kind);
// A value for a message: quoted, at most 40 characters, unprintable ones as '?'.
std::string Quoted(const char *text);
uint64_t RealMonotonicMs();
// The errors after which a session cannot be trusted any more.
bool SessionBroken(int errnum);

class Link {
  public:
    int Request(QaxLinkKind kind, int netFn, int cmd, const uint8_t *request, int requestLen,
                uint8_t *response, int *responseLen);
    int Sensors(QaxLinkKind kind, uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written);
    void Reset();

  private:
    // Failed: no answer, the session is suspect. Refused: not sent, the
    // session is fine.
    enum class Xfer { Ok, BadAnswer, Refused, Failed };

    bool Configure(QaxLinkKind kind);
    template <typename Op>
    int WithSession(Op op);
    bool Open(std::string *why);
    void Close();
    void NoteDown(const std::string &why);
    // After a call without an answer, later calls fail at once for this long.
    unsigned BackoffMs() const { return 2 * cfg_.sessionTimeoutMs; }
    Xfer Exchange(uint8_t netFn, uint8_t cmd, const uint8_t *request, int requestLen,
                  uint8_t *answer, int capacity, int *answerLen);
    Xfer RefreshSdr();
    Xfer LoadSdr();
    Xfer Reserve(uint16_t *reservation);
    Xfer ReadSdrRecord(uint16_t *reservation, uint16_t id, std::vector<uint8_t> *record,
                       uint16_t *next);
    Xfer ReadSdrPart(uint16_t reservation, uint16_t id, unsigned offset, unsigned count,
                     uint8_t *cc, uint8_t *data, uint16_t *next);
    Xfer SensorsOnce(uint8_t type, uint8_t *buffer, uint32_t size, uint32_t *written);
    Xfer Reading(const std::vector<uint8_t> &record, char *text, size_t size);
    std::string LastError() const;

    std::mutex mu_;
    bool loaded_ = false;
    bool configured_ = false;
    QaxLinkConfig cfg_;
    std::string target_;  // "host:port" as FreeIPMI takes it

    ipmi_ctx_t ctx_ = nullptr;
    ipmi_sensor_read_ctx_t sensorCtx_ = nullptr;
    ipmi_sdr_ctx_t sdrCtx_ = nullptr;
    bool open_ = false;
    bool everOpened_ = false;
    bool unavailable_ = false;  // in-band: the probe found no interface
    bool downReported_ = false;
    uint64_t retryAtMs_ = 0;

    bool sdrValid_ = false;
    uint16_t sdrCount_ = 0;
    uint32_t sdrAdded_ = 0, sdrErased_ = 0;
    uint64_t sdrLoadedMs_ = 0;
    std::vector<std::vector<uint8_t>> sdr_;  // full and compact sensor records
};

}  // namespace qaxfreeipmi

#endif
