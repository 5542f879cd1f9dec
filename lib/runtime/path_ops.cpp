#include "runtime/path_ops.h"
