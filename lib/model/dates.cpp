#include "model/dates.h"
