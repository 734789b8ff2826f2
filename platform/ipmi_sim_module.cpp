// The emulator module: QAX_IPMI=sim in an executable that does not link the
// emulator (the default, dynamically linked build). The module is looked for
// in this order, and the first that exists is loaded:
//   1. $QAX_SIM_MODULE, when set (then nothing else);
//   2. qax-sim.so beside the executable (the build tree);
//   3. the installed module, found from the executable's directory (so that
//      an installed tree moved elsewhere, e.g. unpacked with dpkg -x, still
//      finds its own), then at its absolute installed path.
// A module that cannot be loaded leaves the sim transport unavailable: every
// request fails, and the reason is said once.
#include "platform/ipmi_sim_module.h"

#include "platform/ipmi_internal.h"
#include "platform/platform.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef QAX_SIM_MODULE_NAME
#define QAX_SIM_MODULE_NAME "qax-sim.so"
#endif
// Relative to the executable's directory: from the installed bin and sbin
// directories to the installed module (CMakeLists.txt); empty when unknown.
#ifndef QAX_SIM_MODULE_FROM_SBIN
#define QAX_SIM_MODULE_FROM_SBIN ""
#endif
#ifndef QAX_SIM_MODULE_FROM_BIN
#define QAX_SIM_MODULE_FROM_BIN ""
#endif
#ifndef QAX_SIM_MODULE_INSTALLED
#define QAX_SIM_MODULE_INSTALLED ""
#endif

namespace {

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return std::string();
    std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

// Where to look: `chosen` (QAX_SIM_MODULE) alone when it is set.
std::vector<std::string> Candidates(const char *chosen) {
    std::vector<std::string> paths;
    if (chosen != nullptr && *chosen != '\0') {
        paths.push_back(chosen);
        return paths;
    }
    auto add = [&paths](const std::string &p) {
        if (p.empty()) return;
        for (const std::string &q : paths)
            if (q == p) return;
        paths.push_back(p);
    };
    const std::string dir = ExecutableDirectory();
    if (!dir.empty()) {
        add(dir + "/" QAX_SIM_MODULE_NAME);
        if (*QAX_SIM_MODULE_FROM_SBIN) add(dir + "/" QAX_SIM_MODULE_FROM_SBIN);
        if (*QAX_SIM_MODULE_FROM_BIN) add(dir + "/" QAX_SIM_MODULE_FROM_BIN);
    }
    add(QAX_SIM_MODULE_INSTALLED);
    return paths;
}

const QaxSimModuleHost kHost = {QaxClockWallMs, QaxClockMonotonicMs, QaxClockJumpWall};

const QaxIpmiBackend *Load(std::string *why) {
    // A bare name would make dlopen search the library path, and an overlong
    // one fails there with a less clear message.
    const char *chosen = getenv("QAX_SIM_MODULE");
    if (chosen != nullptr && *chosen != '\0' &&
        (strchr(chosen, '/') == nullptr || strlen(chosen) >= PATH_MAX)) {
        *why = "QAX_SIM_MODULE must be a path (with a '/', shorter than " +
               std::to_string(PATH_MAX) + " bytes)";
        return nullptr;
    }
    const std::vector<std::string> paths = Candidates(chosen);
    std::string tried;
    for (const std::string &path : paths) {
        // A missing file is the usual case for all but one place; any other
        // failure (unreadable, wrong architecture, missing symbol) is the
        // module's and is reported as it is.
        if (access(path.c_str(), F_OK) != 0 && paths.size() > 1) {
            tried += (tried.empty() ? "" : ", ") + path;
            continue;
        }
        void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char *e = dlerror();
            *why = e != nullptr ? e : path + ": cannot be loaded";
            return nullptr;
        }
        auto entry = reinterpret_cast<QaxSimModuleEntryFn>(dlsym(module, QAX_SIM_MODULE_ENTRY));
        if (entry == nullptr) {
            *why = path + " has no " QAX_SIM_MODULE_ENTRY " (a module of another version)";
            dlclose(module);
            return nullptr;
        }
        const QaxIpmiBackend *backend = entry(&kHost);
        if (backend == nullptr || backend->request == nullptr) {
            *why = path + " gave no backend";
            return nullptr;  // kept loaded: it may hold state the entry made
        }
        return backend;
    }
    *why = "no " QAX_SIM_MODULE_NAME " at " + (tried.empty() ? std::string("any place") : tried) +
           " (QAX_SIM_MODULE names it elsewhere)";
    return nullptr;
}

}  // namespace

const QaxIpmiBackend *QaxIpmiLoadSimModule(std::string *why) {
    // Once per process; the module stays loaded for its life.
    static std::string error;
    static const QaxIpmiBackend *const backend = Load(&error);
    if (backend == nullptr && why != nullptr) *why = error;
    return backend;
}
