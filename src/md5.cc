#include "md5.h"
// (to be written)
