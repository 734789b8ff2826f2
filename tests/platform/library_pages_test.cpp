// Giving back FreeIPMI's relocation tables must leave the library working:
// a page of its relocated data given back by mistake would be read again
// from the file, unrelocated, and the next call would crash.
#include "platform/library_pages.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

TEST(LibraryPages, RelocationTablesGoAndTheLibraryStillWorks) {
    EXPECT_EQ(QaxReleaseRelocationTables(nullptr), 0u);
    void *lib = dlopen("libfreeipmi.so.17", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) GTEST_SKIP() << "FreeIPMI is not installed: " << dlerror();
    // About 1.5 MiB on amd64; 32-bit relocations are a third of the size.
    EXPECT_GT(QaxReleaseRelocationTables(lib), 256u * 1024);
    using Create = void *(*)();
    using Destroy = void (*)(void *);
    using ErrorText = char *(*)(int);
    auto create = reinterpret_cast<Create>(dlsym(lib, "ipmi_ctx_create"));
    auto destroy = reinterpret_cast<Destroy>(dlsym(lib, "ipmi_ctx_destroy"));
    auto text = reinterpret_cast<ErrorText>(dlsym(lib, "ipmi_ctx_strerror"));
    ASSERT_TRUE(create != nullptr && destroy != nullptr && text != nullptr);
    for (int round = 0; round < 2; ++round) {
        void *ctx = create();
        ASSERT_NE(ctx, nullptr);
        EXPECT_STRNE(text(0), "");  // walks a relocated table of strings
        destroy(ctx);
        QaxReleaseRelocationTables(lib);
    }
    dlclose(lib);
}
