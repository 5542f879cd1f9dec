#include "runtime/stream.h"
