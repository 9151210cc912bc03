// core.cpp: the core configuration of the recursion (recursion.hpp), alone in its file so
// that it is optimised as the core alone.
#include "core/recursion/recursion_impl.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues>;

}  // namespace qh
