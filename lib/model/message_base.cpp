#include "model/message_base.h"
