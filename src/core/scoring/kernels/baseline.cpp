// The kernels built for the architecture's baseline (x86-64: SSE2), no flags of its own (CMakeLists.txt).
#define TAMSEL_KERNEL_SET baseline
#include "core/scoring/kernels/body.hpp"
