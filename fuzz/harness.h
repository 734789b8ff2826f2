// What the fuzz targets share: a private QAX_ROOT, files written from the
// input, and with -DQAX_FUZZ_REPLAY_MAIN a main that runs every file named on
// the command line through LLVMFuzzerTestOneInput once (the corpus replay
// that CI runs with any compiler).
#ifndef QAX_FUZZ_HARNESS_H
#define QAX_FUZZ_HARNESS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A fresh directory as QAX_ROOT (on tmpfs when there is one, so the fuzzer
// never waits for a disk), removed when the process ends. Nothing is created
// inside it.
inline const std::string &UsePrivateRoot(const char *name) {
    static std::string root;
    if (!root.empty()) return root;
    char tmpl[96];
    snprintf(tmpl, sizeof(tmpl), "%s/qax-fuzz-%s-XXXXXX",
             access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", name);
    if (mkdtemp(tmpl) == nullptr) abort();
    root = tmpl;
    setenv("QAX_ROOT", root.c_str(), 1);
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    return root;
}

// The private root with the platform's tmp/ and pstorage/ and the directory
// `dir` below it, on the virtual clock; what the daemon prints is exercised,
// not read.
inline std::string UsePrivateRootWith(const char *name, const char *dir) {
    const std::string root = UsePrivateRoot(name);
    setenv("QAX_CLOCK", "virtual", 1);
    setenv("QAX_CLOCK_START", "1798761600", 1);
    QaxClockReset();
    char buf[1024];
    QaxPath("/", buf, sizeof(buf));
    mkdir((root + dir).c_str(), 0700);
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return root;
}

inline void WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wbe");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size)) abort();
    fclose(f);
}

#ifdef QAX_FUZZ_REPLAY_MAIN
#include <fstream>
#include <iterator>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const std::vector<uint8_t> input{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    fprintf(stderr, "replayed %d inputs\n", argc - 1);
    return 0;
}
#endif

#endif
