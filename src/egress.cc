#include "egress.h"
// (to be written)
