#pragma once

#include <sched.h>

#include <string>

// Runs `start` with the calling thread bound to processor `cpu`, so that the
// server processes it starts inherit that processor alone, then gives the
// thread back the processors it had. A negative `cpu` runs `start` as it is.
// Pinned apart from the clients (`taskset -c N` for the bench itself), the
// server's work does not land on the clients' processor.
template <typename Start>
void startOnProcessor(int cpu, Start&& start) {
    cpu_set_t before;
    if (cpu < 0 || cpu >= CPU_SETSIZE || ::sched_getaffinity(0, sizeof before, &before) != 0) {
        start();
        return;
    }
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    const bool pinned = ::sched_setaffinity(0, sizeof only, &only) == 0;
    start();
    if (pinned) {
        ::sched_setaffinity(0, sizeof before, &before);
    }
}
