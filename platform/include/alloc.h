// Allocation helpers of the platform.
#pragma once

#include <cstddef>

// malloc with a caller tag (logged on failure on standard error).
void* malloc_log(int tag, size_t size);
// strdup that keeps null as null.
char* strdup_n(const char* s);
