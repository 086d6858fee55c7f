#include "utilities/file_utilities.h"
