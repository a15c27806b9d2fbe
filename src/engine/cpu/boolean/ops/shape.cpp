#include "engine/cpu/boolean/ops/shape.h"

namespace vessik::numeric {

VESSIK_SHAPE_OPS(bool, )

}  // namespace vessik::numeric
