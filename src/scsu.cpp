/*
 * scsu.cpp: the SCSU decoder for text of generation 7 and later files.
 */
#include "quarn_internal.h"

#include <cerrno>

size_t convert_scsu_to_utf8(const char **input, size_t *input_left, char **output,
                            size_t *output_left) {
    errno = 0;
    (void)input; (void)input_left; (void)output; (void)output_left;
    return 0; /* TODO */
}
