#include "geometry/parallel.h"

#include <new>
#include <system_error>
#include <thread>

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

struct HelperThread::Gate {
    enum : int { kOpen, kRunning, kDone, kClosed };
    std::atomic<int> state{kOpen};
    void* context = nullptr;
    void (*call)(void*) = nullptr;
    std::exception_ptr error;
};

void HelperThread::start(void* context, void (*call)(void*)) {
    try {
        auto gate = std::make_shared<Gate>();
        gate->context = context;
        gate->call = call;
        // Detached: the thread keeps the gate alive, and touches the caller's
        // work only after winning it from close().
        std::thread([gate] {
            int expected = Gate::kOpen;
            if (!gate->state.compare_exchange_strong(expected, Gate::kRunning)) return;
            try {
                gate->call(gate->context);
            } catch (...) {
                gate->error = std::current_exception();
            }
            gate->state.store(Gate::kDone, std::memory_order_release);
            gate->state.notify_one();
        }).detach();
        gate_ = std::move(gate);
    } catch (const std::system_error&) {
        // No thread to be had: the caller does the work.
    } catch (const std::bad_alloc&) {
    }
}

HelperThread::Outcome HelperThread::close() {
    if (!gate_) return {};
    const std::shared_ptr<Gate> gate = std::move(gate_);
    int state = Gate::kOpen;
    if (gate->state.compare_exchange_strong(state, Gate::kClosed)) return {};
    while (state != Gate::kDone) {
        gate->state.wait(state, std::memory_order_acquire);
        state = gate->state.load(std::memory_order_acquire);
    }
    return {true, gate->error};
}

}  // namespace geom
