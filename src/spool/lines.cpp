#include "spool/lines.h"
