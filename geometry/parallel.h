// Two independent pieces of work on two threads. Results never depend on it:
// each piece writes only its own data.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

namespace geom {

// Whether this process may run on two or more processors.
bool have_second_processor();

// Runs `first` on a helper thread and `second` on this one, and returns when
// both are done. When `split` is false, or there is no second processor or
// no thread to be had, both run here, first then second. A failure is
// rethrown as a serial run would give it: `first`'s if it failed, else
// `second`'s.
template <class First, class Second>
void run_both(bool split, First&& first, Second&& second) {
    if (split && have_second_processor()) {
        std::exception_ptr first_error, second_error;
        std::thread helper;
        try {
            helper = std::thread([&] {
                try {
                    first();
                } catch (...) {
                    first_error = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
        }
        if (helper.joinable()) {
            try {
                second();
            } catch (...) {
                second_error = std::current_exception();
            }
            helper.join();
            if (first_error) std::rethrow_exception(first_error);
            if (second_error) std::rethrow_exception(second_error);
            return;
        }
    }
    first();
    second();
}

}  // namespace geom
