#include "quarn_internal.h"
