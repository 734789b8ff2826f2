// Loading FreeIPMI: dlopen at the first use of the inband or lan transport,
// and the table of its functions.
#include "platform/ipmi_freeipmi_internal.h"
#include "platform/library_pages.h"

#include <dlfcn.h>
#include <sys/auxv.h>

namespace qaxfreeipmi {

FreeIpmiApi g_fi;

bool LoadFreeIpmi(std::string *why) {
    static bool tried = false, loaded = false;
    static std::string error;
    if (!tried) {
        tried = true;
        void *lib = dlopen("libfreeipmi.so.17", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) lib = dlopen("libfreeipmi.so", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            const char *e = dlerror();
            error = std::string("cannot load FreeIPMI: ") + (e != nullptr ? e : "unknown error");
        } else {
            loaded = true;
#define QAX_FREEIPMI_LOAD(name)                                           \
    g_fi.name = reinterpret_cast<decltype(g_fi.name)>(dlsym(lib, #name)); \
    if (g_fi.name == nullptr && loaded) {                                 \
        loaded = false;                                                   \
        error = "FreeIPMI lacks " #name;                                  \
    }
            QAX_FREEIPMI_FUNCTIONS(QAX_FREEIPMI_LOAD)
#undef QAX_FREEIPMI_LOAD
            if (getauxval(AT_BASE) == 0) {
                if (void *own = dlsym(lib, "free"))
                    g_fi.free = reinterpret_cast<decltype(&::free)>(own);
            }
            // Its relocation tables (about 1.5 MiB) were read once, above.
            QaxReleaseRelocationTables(lib);
        }
    }
    if (!loaded && why != nullptr) *why = error;
    return loaded;
}

}  // namespace qaxfreeipmi

// FreeIPMI's in-band probe leaks a few bytes of its firmware-table scan
// (ipmi_locate_acpi_spmi_get_device_info). It runs once per process; keep it
// out of the leak checker's report in sanitized builds.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QAX_LSAN_HOOK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QAX_LSAN_HOOK)
extern "C" const char *__lsan_default_suppressions() {
    return "leak:ipmi_locate_acpi_spmi_get_device_info\n";
}
#endif
