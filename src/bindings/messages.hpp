// messages.hpp: every fixed text the bindings raise or register, in one place.
//
// Callers match these texts exactly; change none of them. Some names and texts come from the
// ecosystem the package's callers first used, and scripts match on them too; they stay
// verbatim although nothing here is built with that ecosystem:
//   - the exception class's qualified name "pyo3_runtime.PanicException" (PANIC_CLASS);
//   - 'PyString' in the TypeError of a variant name that is not a str (VARIANT_NOT_STR);
//   - "(rayon)" and the bracketed names [`bmssp_py`], [`dijkstra_multisource_py`] in the
//     docstrings of quillharbour_module.cpp, and `src/variants/` in bmssp_variant's, a path
//     the sources no longer have;
//   - the thread-pool variables RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS, read by the core
//     (core/pool.cpp).
// Texts with printf conversions are formats for PyErr_Format (or snprintf), as noted.
#pragma once

namespace qh::py::msg {

// --- the exception class of internal stops --------------------------------------------------
inline constexpr const char* PANIC_CLASS = "pyo3_runtime.PanicException";
inline constexpr const char* PANIC_CLASS_DOC =
    "The exception raised when an internal invariant of the native core fails.";
inline constexpr const char* GENERIC_PANIC = "internal error in quillharbour's native core";

// --- arguments (formats) ----------------------------------------------------------------------
inline constexpr const char* NOT_AN_ARRAY = "argument '%s': '%s' object is not a numpy.ndarray";
inline constexpr const char* WRONG_DIMENSIONS = "argument '%s': expected a 1-dimensional array, got %d dimensions";
inline constexpr const char* WRONG_DTYPE = "argument '%s': expected an array of dtype %s, got %U";
inline constexpr const char* PREFIXED_TYPE_ERROR = "argument '%s': %U";
inline constexpr const char* INVALID_VALUE = "argument '%s': invalid value";
inline constexpr const char* VARIANT_NOT_STR = "argument 'variant': '%s' object cannot be converted to 'PyString'";
inline constexpr const char* NOT_CONTIGUOUS = "The given array is not contiguous";
// The PEP 678 note that names the argument of an error whose text stays as it is (format).
inline constexpr const char* ARGUMENT_NOTE = "argument '%s'";
inline constexpr const char* NEGATIVE_LIMIT = "limit must be >= 0";

// --- the graph ------------------------------------------------------------------------------
inline constexpr const char* EMPTY_INDPTR = "indptr must have length n + 1 (got empty array)";
inline constexpr const char* LENGTH_MISMATCH = "indices and weights must have the same length";
inline constexpr const char* LAST_OFFSET = "indptr[-1] must equal len(indices)";
inline constexpr const char* MALFORMED_CSR =
    "malformed CSR: indptr must be non-decreasing, start at 0, end at len(indices), and every index "
    "must be in [0, n)";
inline constexpr const char* TOO_MANY_VERTICES =  // format: n, the limit
    "graph too large: %llu vertices, but vertex ids must fit in int32 (at most %llu vertices)";
inline constexpr const char* GRAPH_TOO_LARGE =
    "graph too large: its vertex ids, or those of its constant-degree transform, do not fit the "
    "32-bit ids the algorithms use";

// --- sources, targets and weights -----------------------------------------------------------
inline constexpr const char* SOURCE_OUT_OF_RANGE = "source %lld is out of range for graph with %llu vertices";
inline constexpr const char* TARGET_OUT_OF_RANGE = "target %lld is out of range for graph with %llu vertices";
inline constexpr const char* BMSSP_INVALID_WEIGHT = "edge weight must be finite and >= 0";
inline constexpr const char* DIJKSTRA_NEGATIVE_WEIGHT =
    "negative or NaN edge weight encountered; Dijkstra requires weights >= 0";
inline constexpr const char* MULTI_NEGATIVE_WEIGHT = "negative or NaN edge weight encountered; weights must be >= 0";

// --- variant names ----------------------------------------------------------------------------
// `unknown bmssp variant "<name>"; known: ["tuned", ...]` is put together in errors.cpp from these.
inline constexpr const char* UNKNOWN_VARIANT_HEAD = "unknown bmssp variant \"";
inline constexpr const char* UNKNOWN_VARIANT_KNOWN = "\"; known: [";
inline constexpr const char* UNKNOWN_VARIANT_TAIL = "]";

// --- bmssp_config: the ingredients of a run (formats where noted) -----------------------------
inline constexpr const char* QUEUE_KIND = "queue must be 'block' or 'heap' (got '%s')";  // format
inline constexpr const char* TRANSFORM_KIND =                                            // format: the value's repr
    "transform must be 'all', 'none' or a hub degree, an integer >= 0 (got %R)";
inline constexpr const char* RULE_KIND = "rule must be 'standard', 'tuned' or 'fast' (got '%s')";  // format
inline constexpr const char* HYBRID_LEVEL_RANGE = "hybrid_level must fit in a signed 32-bit integer";
inline constexpr const char* K_T_TOGETHER = "k and t are forced together: give both (non-zero) or neither";

// --- group_arcs ---------------------------------------------------------------------------------
inline constexpr const char* ARC_LENGTHS = "tails, heads and weights must have the same length";
inline constexpr const char* ARC_COUNT_OR_BASE = "n must be at most 2**31 and base 0 or 1";
inline constexpr const char* ENDPOINT_OUT_OF_RANGE = "arc %zu: endpoint %lld is outside [%lld, %lld)";

// --- memory: "Unable to allocate <size> for <subject>[; <bound>]", sizes as NumPy writes them ----
inline constexpr const char* NO_MEMORY = "Unable to allocate %s for %s%s";  // format: size, subject, bound
inline constexpr const char* WORKING_STORAGE = "the working storage of this call";
inline constexpr const char* NO_MEMORY_UNKNOWN_SIZE = "Unable to allocate the working storage of this call";
inline constexpr const char* SIZE_OVERFLOWED = "more than 16.0 EiB";
inline constexpr const char* RESULT_ROWS =  // format: sources, vertices, bytes per cell
    "the results of %zu sources x %llu vertices (%zu bytes per source and vertex)";
// What sets the room (core/room.hpp); formats of the bytes left, written as a size.
inline constexpr const char* ROOM_MACHINE = "this machine has %s of memory and swap";
inline constexpr const char* ROOM_ADDRESS_SPACE = "the address-space limit (RLIMIT_AS) leaves %s";
inline constexpr const char* ROOM_DATA = "the data limit (RLIMIT_DATA) leaves %s";

// --- the networkx backend: read_adjacency and the push-order searches -------------------------
inline constexpr const char* NODES_NOT_A_LIST = "nodes must be a list of the graph's labels by vertex id";
inline constexpr const char* GRAPH_CHANGED = "the graph changed while it was read";
inline constexpr const char* NOT_A_NODE = "a neighbour is not a node of the graph";
inline constexpr const char* INDEX_OUTSIDE = "the index maps a node outside [0, n)";
inline constexpr const char* TOO_MANY_PUSHES = "too many sources and arcs for one push-order search (2**33)";
inline constexpr const char* TOO_MANY_PUSHES_BOTH_WAYS = "too many arcs for one push-order search (2**33)";
inline constexpr const char* REVERSE_SIZE = "the reverse graph must have as many vertices as the graph";
inline constexpr const char* SAME_ENDPOINTS = "source and target must differ";

// --- modules ------------------------------------------------------------------------------------
inline constexpr const char* NO_SUBINTERPRETERS =  // format: the module's name
    "%s does not support sub-interpreters; import it from the main interpreter";

// --- failures the test hooks provoke (builds with QH_TEST_HOOKS only) ------------------------
inline constexpr const char* PROVOKED_STOP = "internal stop provoked by the test suite";
inline constexpr const char* PROVOKED_EXCEPTION = "index out of range";

}  // namespace qh::py::msg
