// Unrecoverable failures of the geometry code. They travel as a C++ exception
// that carries the message and where it was raised; the Python layer turns it
// into PanicException and keeps the interpreter alive.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace geom {

class Panic : public std::runtime_error {
public:
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(std::move(message)), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Panic(std::move(message), where);
}

}  // namespace geom
