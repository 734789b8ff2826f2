// Handing back a loaded library's relocation tables. A library opened with
// RTLD_NOW has every relocation applied before dlopen returns, and nothing
// reads the tables again; yet their pages stay mapped, private to this
// process when no other one uses the library. FreeIPMI's are about 1.5 MiB
// (its data is full of pointers), more than the rest of the daemon.
#include "platform/library_pages.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_PAGEOUT
#define MADV_PAGEOUT 21
#endif

namespace {

struct Target {
    uintptr_t base;  // the library's load bias, from its link map
    size_t released;
};

// True when [start, end) lies in a read-only loaded segment, outside the
// part that is written during relocation and then made read-only.
bool ReadOnlyRange(const dl_phdr_info *info, uintptr_t start, uintptr_t end) {
    bool inside = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        const uintptr_t from = info->dlpi_addr + ph.p_vaddr, to = from + ph.p_filesz;
        if (ph.p_type == PT_GNU_RELRO && start < from + ph.p_memsz && from < end) return false;
        if (ph.p_type == PT_LOAD && from <= start && end <= to) inside = (ph.p_flags & PF_W) == 0;
    }
    return inside;
}

// The whole pages of one table, given back when they are safe to give.
size_t Release(const dl_phdr_info *info, uintptr_t table, uintptr_t size) {
    if (table == 0 || size == 0) return 0;
    // The loader may have made the dynamic section's addresses absolute.
    if (table < info->dlpi_addr) table += info->dlpi_addr;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (table + page - 1) & ~(page - 1), end = (table + size) & ~(page - 1);
    if (end <= start || !ReadOnlyRange(info, table, table + size)) return 0;
    // PAGEOUT frees the pages no other process maps; kernels before 5.4
    // lack it, and unmapping still makes them reclaimable page cache.
    void *at = reinterpret_cast<void *>(start);
    if (madvise(at, end - start, MADV_PAGEOUT) != 0 && madvise(at, end - start, MADV_DONTNEED) != 0)
        return 0;
    return end - start;
}

int Visit(dl_phdr_info *info, size_t, void *data) {
    Target *target = static_cast<Target *>(data);
    if (info->dlpi_addr != target->base) return 0;
    const ElfW(Dyn) *dyn = nullptr;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dyn = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    if (dyn == nullptr) return 1;
    // Each kind of relocation table: the tags of its address and its size.
    using Tag = decltype(dyn->d_tag);
    const Tag kTags[3][2] = {{DT_RELA, DT_RELASZ}, {DT_REL, DT_RELSZ}, {DT_JMPREL, DT_PLTRELSZ}};
    uintptr_t rel[3] = {}, relsz[3] = {};
    for (; dyn->d_tag != DT_NULL; ++dyn) {
        for (int i = 0; i < 3; ++i) {
            if (dyn->d_tag == kTags[i][0]) rel[i] = dyn->d_un.d_ptr;
            if (dyn->d_tag == kTags[i][1]) relsz[i] = dyn->d_un.d_val;
        }
    }
    for (int i = 0; i < 3; ++i) target->released += Release(info, rel[i], relsz[i]);
    return 1;
}

}  // namespace

size_t QaxReleaseRelocationTables(void *handle) {
    link_map *map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return 0;
    Target target = {static_cast<uintptr_t>(map->l_addr), 0};
    dl_iterate_phdr(Visit, &target);
    return target.released;
}
