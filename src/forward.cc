#include "forward.h"
// (to be written)
