#include "geometry/parallel.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace geom {

bool have_second_processor() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
#else
    return std::thread::hardware_concurrency() >= 2;
#endif
}

}  // namespace geom
