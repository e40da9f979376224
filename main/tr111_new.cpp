// operator new and delete of tr111d, on malloc and free, so that the
// daemon needs no C++ runtime library on the gateway. Running out of memory
// is fatal: a line on standard error, then abort(), never an exception.
// Only tr111d links this file (not the tests, which keep the runtime's own
// operators and the sanitizers' checks of them).
#include <cstdlib>
#include <new>
#include <unistd.h>

namespace {

[[noreturn]] void out_of_memory() {
    static const char line[] = "tr111d: out of memory\n";
    ssize_t n = write(STDERR_FILENO, line, sizeof line - 1);
    (void)n;
    abort();
}

void* allocate(size_t size) {
    void* p = malloc(size ? size : 1); // new of 0 bytes still gives a unique address
    if (!p) out_of_memory();
    return p;
}

} // namespace

void* operator new(size_t size) {
    return allocate(size);
}
void* operator new[](size_t size) {
    return allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
void operator delete[](void* p, size_t) noexcept {
    free(p);
}
