#include "ss.h"
