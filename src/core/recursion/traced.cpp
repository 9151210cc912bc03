// traced.cpp: the traced forms of every configuration of the recursion (recursion.hpp), used
// only by runs that record their calls (call_trace.hpp).
#include "core/recursion/recursion_impl.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues, CallTracer>;
template class Recursion<ConstantDegreeRows, FlatQueues, CallTracer>;
template class Recursion<CsrRows, BlockQueues, CallTracer>;
template class Recursion<CsrRows, FlatQueues, CallTracer>;

}  // namespace qh
