#include "writer.h"
