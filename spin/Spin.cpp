#include "spin/Spin.h"
// Unit Spin. (Filled in with the spin edit.)
