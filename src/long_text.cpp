/*
 * long_text.cpp: texts stored in long form.
 */
#include "quarn_internal.h"
