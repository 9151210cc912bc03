// recursion.cpp: the core configuration of the recursion (recursion.hpp).
#include "recursion.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues>;

}  // namespace qh
