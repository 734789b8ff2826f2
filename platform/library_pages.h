// Pages of loaded libraries that the process no longer needs.
#ifndef QAX_PLATFORM_LIBRARY_PAGES_H
#define QAX_PLATFORM_LIBRARY_PAGES_H

#include <stddef.h>

// Gives back the pages of a library's relocation tables (whole pages inside
// read-only segments only). `handle` comes from dlopen with RTLD_NOW, so no
// relocation is left to apply. Answers the bytes given back; a page read
// again later is simply loaded again from the file.
size_t QaxReleaseRelocationTables(void *handle);

#endif
