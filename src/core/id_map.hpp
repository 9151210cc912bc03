// id_map.hpp: hash maps and sets keyed by 32-bit vertex ids.
//
// Open addressing with linear probing over a power-of-two table, a
// multiplicative (Fibonacci) hash, and backward-shift deletion, so there are
// no tombstones and a lookup stops at the first empty slot. NO_VERTEX
// (csr.hpp), never a vertex id, marks an empty slot. The table is kept at most half full.
//
// Nothing observable depends on the table layout: callers never iterate a
// map, they only look ids up, so results do not depend on the hash.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "core/ids.hpp"
#include "core/memory.hpp"
#include "core/stop.hpp"

namespace qh {

// Map from vertex id (not NO_VERTEX) to V; V must be trivially copyable.
template <class V>
class IdMap {
public:
    // Number of ids held.
    std::size_t size() const noexcept { return size_; }
    // True when no id is held.
    bool empty() const noexcept { return size_ == 0; }

    // Makes room for `count` ids without rehashing.
    void reserve(std::size_t count) {
        std::size_t want = 16;
        while (want < 2 * count) want *= 2;
        if (want > slots_.size()) rehash(want);
    }

    // Pointer to the value of `id`, or nullptr; valid until the next insertion or erase.
    V* find(std::uint32_t id) noexcept {
        const std::size_t i = slot_holding(id);
        return i == NONE ? nullptr : &slots_[i].value;
    }
    const V* find(std::uint32_t id) const noexcept { return const_cast<IdMap*>(this)->find(id); }
    // Hints the cache about the slot where a lookup of `id` starts.
    void prefetch(std::uint32_t id) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(id)]);
    }

    // The value of `id`, inserted as `init` if absent; second is true when inserted.
    std::pair<V*, bool> try_emplace(std::uint32_t id, const V& init) {
        assert(id != NO_VERTEX);
        if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
        std::size_t i = slot_of(id);
        for (;; i = (i + 1) & mask_) {
            if (slots_[i].key == id) return {&slots_[i].value, false};
            if (slots_[i].key == NO_VERTEX) break;
        }
        slots_[i].key = id;
        slots_[i].value = init;
        ++size_;
        return {&slots_[i].value, true};
    }
    // Sets the value of `id`.
    void assign(std::uint32_t id, const V& value) { *try_emplace(id, value).first = value; }

    // Removes `id`; returns whether it was present.
    bool erase(std::uint32_t id) noexcept {
        const std::size_t i = slot_holding(id);
        if (i == NONE) return false;
        erase_slot(i);
        return true;
    }
    // Removes `id` and gives its value back through `out`, in one probe; returns whether
    // it was present (`out` is left alone when not).
    bool take(std::uint32_t id, V& out) noexcept {
        const std::size_t i = slot_holding(id);
        if (i == NONE) return false;
        out = slots_[i].value;
        erase_slot(i);
        return true;
    }

    // Removes every id, given all of them (proj(*it) for it in [first, last), repeats
    // allowed): costs O(size) instead of O(capacity) when the table is mostly empty.
    template <class It, class Proj>
    void clear_listed(It first, It last, Proj proj) {
        if (size_ == 0) return;
        if (4 * size_ >= slots_.size()) {
            clear();
            return;
        }
        // Find every slot before emptying any, so no probe run is cut short.
        doomed_.clear();
        for (It it = first; it != last; ++it) {
            const std::size_t i = slot_holding(proj(*it));
            if (i != NONE) doomed_.push_back(i);
        }
        for (std::size_t i : doomed_) slots_[i].key = NO_VERTEX;
        size_ = 0;
    }

    // Removes every id, keeping the table's storage.
    void clear() noexcept {
        if (size_ == 0) return;
        for (Slot& slot : slots_) slot.key = NO_VERTEX;
        size_ = 0;
    }

    // Checks the table: a power-of-two size at most half full, as many ids as counted, and
    // every id reachable from its home slot without crossing an empty slot or a copy of
    // itself. Stops with "IdMap invariant violated" on failure.
    void sanity_check() const {
        const auto fail = [] { internal_stop("IdMap invariant violated"); };
        const std::size_t capacity = slots_.size();
        if (capacity == 0) {
            if (size_ != 0) fail();
            return;
        }
        if ((capacity & mask_) != 0 || mask_ != capacity - 1 || (std::size_t{1} << (64 - shift_)) != capacity) fail();
        if (2 * size_ > capacity) fail();
        std::size_t held = 0;
        for (std::size_t i = 0; i < capacity; ++i) {
            const std::uint32_t id = slots_[i].key;
            if (id == NO_VERTEX) continue;
            ++held;
            for (std::size_t j = slot_of(id); j != i; j = (j + 1) & mask_) {
                if (slots_[j].key == NO_VERTEX || slots_[j].key == id) fail();
            }
        }
        if (held != size_) fail();
    }

private:
    static constexpr std::size_t NONE = ~std::size_t{0};

    // The slot holding `id`, or NONE.
    std::size_t slot_holding(std::uint32_t id) const noexcept {
        if (size_ == 0) return NONE;
        for (std::size_t i = slot_of(id);; i = (i + 1) & mask_) {
            if (slots_[i].key == id) return i;
            if (slots_[i].key == NO_VERTEX) return NONE;
        }
    }

    // Empties slot i, which holds an id.
    void erase_slot(std::size_t i) noexcept {
        // Backward shift: pull later members of the probe run into the hole.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask_; slots_[j].key != NO_VERTEX; j = (j + 1) & mask_) {
            const std::size_t home = slot_of(slots_[j].key);
            // Move j into the hole unless its home lies cyclically in (hole, j].
            const bool home_after_hole = ((j - home) & mask_) < ((j - hole) & mask_);
            if (!home_after_hole) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole].key = NO_VERTEX;
        --size_;
    }

    std::size_t slot_of(std::uint32_t id) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }

    struct Slot {
        std::uint32_t key = NO_VERTEX;
        V value{};
    };

    void rehash(std::size_t capacity) {
        // Empty slots made by their member initialisers: copying one given empty slot into
        // each made the compiler rebuild it on the stack for every slot, a narrow store that
        // the wide load after it had to wait for.
        Vec<Slot> old(capacity);
        old.swap(slots_);
        mask_ = capacity - 1;
        shift_ = 64;
        for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.key == NO_VERTEX) continue;
            std::size_t j = slot_of(slot.key);
            while (slots_[j].key != NO_VERTEX) j = (j + 1) & mask_;
            slots_[j] = slot;
            ++size_;
        }
    }

    // Key and value side by side: a lookup touches one cache line.
    Vec<Slot> slots_;
    Vec<std::size_t> doomed_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
};

// Set of vertex ids.
class IdSet {
public:
    // Number of ids held.
    std::size_t size() const noexcept { return map_.size(); }
    // True when no id is held.
    bool empty() const noexcept { return map_.empty(); }
    // Makes room for `count` ids without rehashing.
    void reserve(std::size_t count) { map_.reserve(count); }
    // Adds `id`; returns true when it was not yet present.
    bool insert(std::uint32_t id) { return map_.try_emplace(id, Unit{}).second; }
    // Removes `id`; returns whether it was present.
    bool erase(std::uint32_t id) noexcept { return map_.erase(id); }
    // Removes every id, keeping the storage.
    void clear() noexcept { map_.clear(); }
    // As IdMap::sanity_check.
    void sanity_check() const { map_.sanity_check(); }

private:
    struct Unit {};
    IdMap<Unit> map_;
};

}  // namespace qh
