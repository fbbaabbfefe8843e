#include "wire.h"
// (to be written)
