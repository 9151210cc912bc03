// recursion.cpp: the core configuration of the recursion (recursion.hpp).
#include "core/recursion/recursion.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues>;

}  // namespace qh
