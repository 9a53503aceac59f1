// A build for a processor family without vector kernels of ours: the plain
// kernel alone counts.
#include "count/count_kernels.h"

const VectorKernel vectorKernels[] = {{"", 0, 0}};
const int nVectorKernels = 0;
