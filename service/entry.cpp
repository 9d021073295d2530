#include <malloc.h>

#include "common.h"

int main()
{
    // glibc gives each thread that allocates an arena of its own, up to
    // eight per core, and keeps what each has freed. The service's threads
    // allocate little and seldom: two arenas are enough, before any thread
    // starts.
    mallopt(M_ARENA_MAX, 2);
    return service_main();
}
