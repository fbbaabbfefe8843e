#include "registration.h"
// (to be written)
