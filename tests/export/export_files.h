// Images of the daemon's files for qax-export's tests, and the exposition
// read back as a map.
#ifndef QAX_TESTS_EXPORT_EXPORT_FILES_H
#define QAX_TESTS_EXPORT_EXPORT_FILES_H

#include <stdint.h>

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

}  // namespace qaxtest

#endif
