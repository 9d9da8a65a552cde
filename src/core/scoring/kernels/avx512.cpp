// The kernels built for -mavx512f -mavx512bw -mavx512vl (CMakeLists.txt).
#define TAMSEL_KERNEL_SET avx512
#include "core/scoring/kernels/body.hpp"
