#include "kivra.h"
