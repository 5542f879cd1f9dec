#include "model/message_record.h"
