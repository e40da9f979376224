// Allocation helpers of the platform.
#include "platform/include/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void* malloc_log(int tag, size_t size) {
    void* p = malloc(size);
    if (!p) fprintf(stderr, "malloc_log: tag %d: cannot allocate %zu bytes\n", tag, size);
    return p;
}

char* strdup_n(const char* s) {
    if (!s) return nullptr;
    size_t len = strlen(s) + 1;
    auto* d = static_cast<char*>(malloc(len));
    if (d) memcpy(d, s, len);
    return d;
}
