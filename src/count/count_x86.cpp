// The vector kernels of an x86 build, narrowest first.
#include "count/count_kernels.h"
#include "platform/platform.h"

const VectorKernel vectorKernels[] = {
    {"sse2", PF_XMMI64_INSTRUCTIONS_AVAILABLE, CountSpacesSse2},
    {"avx2", PF_AVX2_INSTRUCTIONS_AVAILABLE, CountSpacesAvx2},
};
const int nVectorKernels = sizeof vectorKernels / sizeof vectorKernels[0];
