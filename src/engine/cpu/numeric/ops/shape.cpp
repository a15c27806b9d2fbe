#include "engine/cpu/numeric/ops/shape.h"

namespace vessik::numeric {

VESSIK_SHAPE_OPS(Half, )
VESSIK_SHAPE_OPS(BFloat16, )
VESSIK_SHAPE_OPS(float, )

}  // namespace vessik::numeric
