// stop.hpp: internal invariant stops.
//
// A violated internal invariant ends the computation with a fixed message
// instead of returning a sentinel. The stop is a C++ exception that unwinds
// the run (releasing everything it owns) and is turned into PanicException at
// the module boundary once the interpreter lock is held again.
#pragma once

#include <exception>

namespace qh {

class InternalStop final : public std::exception {
public:
    // `message` must have static storage duration.
    explicit InternalStop(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

// Ends the current computation with `message` (a string literal).
[[noreturn]] inline void internal_stop(const char* message) { throw InternalStop(message); }

}  // namespace qh
