// The kernels built for -mavx2 (AVX2 without FMA: sums are never fused) (CMakeLists.txt).
#define TAMSEL_KERNEL_SET avx2
#include "core/scoring/kernels/body.hpp"
