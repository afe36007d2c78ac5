#include "stream.h"
