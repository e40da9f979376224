// Preloaded into tr111d by the link test: sem_init takes two seconds, so
// that a START posted on a semaphore made after the callbacks that post it
// would be wiped out by its making, and main would wait for ever.
#include <dlfcn.h>
#include <semaphore.h>
#include <unistd.h>

extern "C" int sem_init(sem_t* sem, int shared, unsigned value) {
    using Fn = int (*)(sem_t*, int, unsigned);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "sem_init"));
    usleep(2000000);
    return real(sem, shared, value);
}
