// Images of the daemon's files for qax-export's tests, the exposition read
// back as a map, and a minimal HTTP/1.1 client on loopback (for the exporter
// and, in the fleet test, Prometheus's API).
#ifndef QAX_TESTS_EXPORT_EXPORT_FILES_H
#define QAX_TESTS_EXPORT_EXPORT_FILES_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/export/reader.h"

namespace qaxtest {

inline void PutLe(std::string *out, uint64_t v, int n) {
    for (int i = 0; i < n; i++) out->push_back(static_cast<char>(v >> (8 * i)));
}
inline std::string RecordBytes(const qaxexport::Record &r) {
    std::string out;
    PutLe(&out, r.timestamp, 4);
    for (uint16_t v : r.v) PutLe(&out, v, 2);
    return out;
}
inline std::string WindowImage(const std::vector<qaxexport::Record> &records) {
    std::string out;
    PutLe(&out, records.size(), 2);
    for (const auto &r : records) out += RecordBytes(r);
    return out;
}
// A full file whose next slot is `next`; `oldestFirst` fills the ring from there.
inline std::string FullImage(const std::vector<qaxexport::Record> &oldestFirst, uint16_t next) {
    std::vector<qaxexport::Record> slots(qaxexport::kFullSlots);
    for (size_t i = 0; i < oldestFirst.size(); i++) slots[(next + i) % qaxexport::kFullSlots] = oldestFirst[i];
    std::string out;
    PutLe(&out, next, 2);
    for (const auto &r : slots) out += RecordBytes(r);
    return out;
}
// A metric log record written by hand from the format: two AC supplies, no DC
// supply, system AC and DC, CPU, no memory, cooling and effective CPU, inlet 20,
// outlet 31, time 1798762290000 ms, status 0x81, two inlet sensors; and a
// performance section (system, CPU, memory, IO).
inline std::string Entries(std::vector<uint64_t> avgMaxMin) {
    std::string out;
    for (uint64_t v : avgMaxMin) PutLe(&out, v, 8);
    return out;
}
inline std::string KnownRecord() {
    std::string out = '\2' + Entries({175, 180, 175, 174, 179, 174}) + '\0' + '\1' + Entries({350, 350, 350}) + '\1' +
                      Entries({322, 350, 300}) + '\1' + Entries({145, 145, 145}) + '\0' + '\1' + Entries({32, 32, 32}) +
                      '\1' + Entries({42874, 42874, 42874}) + "\24\37";
    PutLe(&out, 1798762290000ULL, 8);
    out += "\x81\2";
    PutLe(&out, 2, 4);
    out += "24.500" + std::string(58, '\0');
    PutLe(&out, 1, 4);
    return out + "Unavailable" + std::string(53, '\0');
}
inline std::string KnownPerformance() {
    return '\1' + Entries({23, 27, 20}) + '\1' + Entries({31, 35, 28}) + '\1' + Entries({27, 28, 25}) + '\1' +
           Entries({12, 13, 11});
}
inline void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// "name{labels}" -> value of every sample line.
inline std::map<std::string, double> Samples(const std::string &text) {
    std::map<std::string, double> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.rfind(' ');
        out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    }
    return out;
}

inline int Connect(int port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request; the status code (-1 on a failure or time-out), the body in `body`.
inline int Http(int port, const std::string &method, const std::string &target, std::string *body = nullptr,
                const std::string &headers = "", int timeoutMs = 10000) {
    int fd = Connect(port, timeoutMs);
    if (fd < 0) return -1;
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n";
    std::string response;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[16384];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) response.append(buf, size_t(n));
    }
    close(fd);
    const size_t end = response.find("\r\n\r\n");
    if (response.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return -1;
    if (body != nullptr) *body = response.substr(end + 4);
    return std::stoi(response.substr(9, 3));
}

// A port nobody listens on now (the kernel's choice).
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Resident memory of a process in KiB (VmRSS), 0 when unknown.
inline long RssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace qaxtest

#endif
