// The instantiations of vnstl::map that the library exports (the extern declarations in
// vnmap.h carry the export attribute).
#include "common/vnmap.h"

namespace vnstl {

// Ids and counts.
template class map<unsigned long, unsigned int>;
// Values that hold pointers (uintptr_t is pointer-sized).
template class map<unsigned long, uintptr_t>;

}  // namespace vnstl
