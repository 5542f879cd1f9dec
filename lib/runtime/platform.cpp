#include "runtime/platform.h"
