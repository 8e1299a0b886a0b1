// Invariant failure reporting for VN_CHECK / VN_DCHECK. Callable from any thread.
#include "common/vnexport.h"

#include <stdio.h>
#include <stdlib.h>

namespace vn {
namespace detail {

void fatal(const char* file, int line, const char* what) {
    fprintf(stderr, "vnbase: %s:%d: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

}  // namespace detail
}  // namespace vn
