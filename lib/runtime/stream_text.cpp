#include "runtime/stream_text.h"
