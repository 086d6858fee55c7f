#include "config/Chameleon.h"
