// counted.cpp: the counted forms of every configuration of the recursion (recursion.hpp),
// used only by runs that report their operation counts.
#include "core/recursion/recursion.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues, true>;
template class Recursion<ConstantDegreeRows, FlatQueues, true>;
template class Recursion<CsrRows, BlockQueues, true>;
template class Recursion<CsrRows, FlatQueues, true>;

}  // namespace qh
