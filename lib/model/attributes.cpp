#include "model/attributes.h"
