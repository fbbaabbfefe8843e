#include "ingress.h"
// (to be written)
