// room.cpp: the memory this process can still be given.
#include "core/room.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>

namespace qh {

Room memory_room() noexcept {
    Room room;
    struct sysinfo info{};
    if (sysinfo(&info) == 0) {
        room.bytes = (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * info.mem_unit;
        room.bound = Room::Bound::Machine;
    }
    unsigned long long size_pages = 0, resident = 0, shared = 0, text = 0, lib = 0, data_pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu %llu %llu %llu %llu %llu", &size_pages, &resident, &shared, &text, &lib,
                        &data_pages) != 6)
            size_pages = data_pages = 0;
        std::fclose(statm);
    }
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const struct {
        int resource;
        std::uint64_t used;
        Room::Bound bound;
    } limits[] = {{RLIMIT_AS, size_pages * page, Room::Bound::AddressSpace},
                  {RLIMIT_DATA, data_pages * page, Room::Bound::Data}};
    for (const auto& limit : limits) {
        struct rlimit r{};
        if (getrlimit(limit.resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) continue;
        const std::uint64_t left = r.rlim_cur > limit.used ? r.rlim_cur - limit.used : 0;
        if (left < room.bytes) room = {left, limit.bound};
    }
    return room;
}

}  // namespace qh
