// STUB: being written.
#include "sim/Gateway.h"
