// Happens-before annotations for GCC's OpenMP runtime, linked into the race
// checker only.
//
// libgomp builds its barriers, thread docking and critical sections from
// atomics and futex system calls, which Helgrind cannot see: without help it
// reports every hand-over the runtime guarantees (the fork of a parallel
// region, its closing barrier, the mutual exclusion of a named critical
// section) as a race in the code around it. These wrappers interpose the
// runtime's entry points used by the kernels, call the real ones, and state
// exactly the ordering OpenMP promises at each of them through Helgrind's
// client requests:
//   - fork: everything the encountering thread did before the region
//     happens before every team thread starts the region body;
//   - join: everything any team thread did in the body happens before the
//     encountering thread continues after the region;
//   - critical: each exit happens before every later entry of the same name.
// Nothing else is annotated, so a missing ordering inside the kernels is
// still reported.
#include <dlfcn.h>
#include <valgrind/helgrind.h>

namespace {

using parallel_fn = void (*)(void (*)(void *), void *, unsigned, unsigned);
using named_fn = void (*)(void **);

template <typename F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Region {
    void (*body)(void *);
    void *data;
    char fork_token;
    char join_token;
};

void annotated_body(void *p) {
    Region *region = static_cast<Region *>(p);
    ANNOTATE_HAPPENS_AFTER(&region->fork_token);
    region->body(region->data);
    ANNOTATE_HAPPENS_BEFORE(&region->join_token);
}

}  // namespace

extern "C" {

void GOMP_parallel(void (*body)(void *), void *data, unsigned num_threads, unsigned flags) {
    static const parallel_fn next = real<parallel_fn>("GOMP_parallel");
    Region region{body, data, 0, 0};
    ANNOTATE_HAPPENS_BEFORE(&region.fork_token);
    next(annotated_body, &region, num_threads, flags);
    ANNOTATE_HAPPENS_AFTER(&region.join_token);
    // The tokens live on this stack frame: forget them before it is reused.
    ANNOTATE_HAPPENS_BEFORE_FORGET_ALL(&region.fork_token);
    ANNOTATE_HAPPENS_BEFORE_FORGET_ALL(&region.join_token);
}

void GOMP_critical_name_start(void **name) {
    static const named_fn next = real<named_fn>("GOMP_critical_name_start");
    next(name);
    ANNOTATE_HAPPENS_AFTER(name);
}

void GOMP_critical_name_end(void **name) {
    static const named_fn next = real<named_fn>("GOMP_critical_name_end");
    ANNOTATE_HAPPENS_BEFORE(name);
    next(name);
}

}  // extern "C"
