// counted.cpp: the counted forms of every configuration of the recursion (recursion.hpp),
// used only by runs that report their operation counts.
#include "core/recursion/recursion_impl.hpp"

namespace qh {

template class Recursion<ConstantDegreeRows, BlockQueues, OperationCounter>;
template class Recursion<ConstantDegreeRows, FlatQueues, OperationCounter>;
template class Recursion<CsrRows, BlockQueues, OperationCounter>;
template class Recursion<CsrRows, FlatQueues, OperationCounter>;

}  // namespace qh
