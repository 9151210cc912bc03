// bmssp.hpp: the BMSSP driver and its result.
#pragma once

#include <cstdint>
#include <variant>

#include "csr.hpp"
#include "memory.hpp"

namespace qh {

// Error values of a single-source BMSSP run; the module maps them to Python
// exceptions with the caller's source and vertex count.
enum class BmsspError {
    SourceOutOfRange,  // source not below n
    InvalidWeight,     // a weight is NaN, infinite or below zero (-0.0 passes)
    GraphTooLarge,     // the constant-degree transform would need 2^32 or more vertices
};

// One entry of the settlement-order log.
struct SettleRecord {
    std::uint32_t vertex;  // transformed-graph vertex id
    double dhat;           // its distance when it became complete
};

// The result of one run; owns everything.
struct BmsspRun {
    OwnedArray<double> dist;        // n distances, +inf when unreachable
    OwnedArray<std::int32_t> pred;  // n predecessors, -1 for the source and unreached
    Vec<SettleRecord> settle_log;   // settlement order
};

// One complete single-source BMSSP run on a validated graph.
std::variant<BmsspRun, BmsspError> sssp_bmssp(const Csr& csr, std::uint64_t source, std::uint64_t seed);

}  // namespace qh
