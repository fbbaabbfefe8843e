#include "scripts.h"
// (to be written)
