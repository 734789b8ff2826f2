// A fuzz target's own QAX_ROOT: a fresh directory (on tmpfs when there is
// one, so the fuzzer never waits for a disk) that is removed when the
// process ends. Nothing is created inside it: targets that want the root's
// tmp/ and pstorage/ ask the platform for them.
#ifndef QAX_FUZZ_PRIVATE_ROOT_H
#define QAX_FUZZ_PRIVATE_ROOT_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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

#endif
