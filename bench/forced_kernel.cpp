// Linked into the benchmark's own copy of the service, never into the one
// shipped: COUNT_KERNEL=<name> in its environment makes it count with that
// kernel ("plain", "sse2", "avx2"; as count_bench --kernels lists them), so
// bench/run can time the service with each kernel the machine can run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "count/count.h"

namespace {

bool UseNamedKernel()
{
    const char *name = getenv("COUNT_KERNEL");
    if (name == NULL || *name == '\0')
        return true;
    for (int k = 0; k < CountKernels(); k++) {
        if (strcmp(CountKernelName(k), name) == 0)
            return UseCountKernel(k);
    }
    fprintf(stderr, "COUNT_KERNEL=%s: no such kernel on this machine\n", name);
    exit(2);
}

// Before main, as the service's own choice is made.
const bool forced = UseNamedKernel();

} // namespace
