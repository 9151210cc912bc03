// room.hpp: how much memory this process can still be given, and what sets that bound.
//
// A result the machine can never hold must be refused before any work: with the kernel
// overcommitting, or mimalloc reserving lazily, the allocation itself may succeed and the
// process be killed later, when the rows are written. The bound is the least of this
// machine's memory plus swap and what RLIMIT_AS and RLIMIT_DATA leave beside what the
// process already maps; the boundary names it in the MemoryError it raises.
#pragma once

#include <cstdint>

namespace qh {

// What this process can still be given (`bytes`), and the rule that sets it.
struct Room {
    enum class Bound {
        None,          // nothing known: `bytes` is UINT64_MAX
        Machine,       // the machine's memory and swap
        AddressSpace,  // what RLIMIT_AS leaves
        Data,          // what RLIMIT_DATA leaves
    };
    std::uint64_t bytes = UINT64_MAX;
    Bound bound = Bound::None;
};

// The room now: reads sysinfo, /proc/self/statm and the two limits (a source that cannot be
// read is left out).
Room memory_room() noexcept;

}  // namespace qh
