// variants.cpp: the variants' configurations of the recursion (recursion.hpp).
#include "core/recursion/recursion_impl.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, FlatQueues>;
template class Recursion<CsrRows, BlockQueues>;
template class Recursion<CsrRows, FlatQueues>;

}  // namespace qh
