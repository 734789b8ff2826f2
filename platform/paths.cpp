// Path prefix: every absolute path of the daemon and the store goes through
// QaxPath so that a whole installation (store, trace, histories, lock file)
// can live under one directory ($QAX_ROOT) for tests and demos.
#include "platform/platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
std::string g_preparedRoot;  // root whose tmp/ and pstorage/ were created
std::string g_rejectedRoot;  // relative root already reported

// Creates $root/tmp and $root/pstorage once per root value. A failure is
// reported but not fatal: whoever opens a file there reports its own error.
void PrepareRoot(const char *root, size_t rootLen) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_preparedRoot.size() == rootLen && g_preparedRoot.compare(0, rootLen, root, rootLen) == 0)
        return;
    static const char *const kDirs[] = {"", "/tmp", "/pstorage"};
    std::string dir;
    for (const char *sub : kDirs) {
        dir.assign(root, rootLen);
        dir += sub;
        if (dir.empty()) continue;  // root "/" stripped to ""
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            fprintf(stderr, "qax: cannot create directory %s: %s\n", dir.c_str(), strerror(errno));
    }
    g_preparedRoot.assign(root, rootLen);
}

void ReportRelativeRoot(const char *root) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_rejectedRoot == root) return;
    g_rejectedRoot = root;
    fprintf(stderr,
            "qax: QAX_ROOT must be an absolute path (got \"%s\"); refusing to use any file path\n",
            root);
}

}  // namespace

const char *QaxPath(const char *path, char *out, size_t outSize) {
    if (path == nullptr) return nullptr;
    const char *root = getenv("QAX_ROOT");
    if (root == nullptr || root[0] == '\0') return path;
    // A relative root would move with the working directory; falling back to
    // the real system paths would defeat the isolation the user asked for.
    // Fail closed: every path is refused until QAX_ROOT is fixed.
    if (root[0] != '/') {
        ReportRelativeRoot(root);
        return nullptr;
    }
    if (path[0] != '/' || out == nullptr) return nullptr;

    size_t rootLen = strlen(root);
    while (rootLen > 0 && root[rootLen - 1] == '/') rootLen--;
    size_t pathLen = strlen(path);
    if (rootLen + pathLen + 1 > outSize) return nullptr;

    PrepareRoot(root, rootLen);
    memcpy(out, root, rootLen);
    memcpy(out + rootLen, path, pathLen + 1);
    return out;
}

int QaxProcessSharesRoot(int pid) {
    const char *root = getenv("QAX_ROOT");
    if (root == nullptr || root[0] == '\0') return 1;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/environ", pid);
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return errno == ENOENT || errno == ESRCH ? 0 : 1;  // gone; or hidden: assume it may
    // Entries are "NAME=value\0"; a bounded read (an environment is small).
    static const size_t kLimit = 256 * 1024;
    std::string entry;
    int shares = 0;
    size_t total = 0;
    for (int c; (c = fgetc(f)) != EOF && total < kLimit; total++) {
        if (c != '\0') {
            entry.push_back(static_cast<char>(c));
            continue;
        }
        if (entry.compare(0, 9, "QAX_ROOT=") == 0) {
            shares = entry.compare(9, std::string::npos, root) == 0;
            break;
        }
        entry.clear();
    }
    fclose(f);
    return shares;
}
