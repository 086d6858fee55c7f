#include "utilities/glob.h"
