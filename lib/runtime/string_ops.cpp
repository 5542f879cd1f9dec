#include "runtime/string_ops.h"
