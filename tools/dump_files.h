/*
 * dump_files.h: the structure dump of quarn-dump, which quarn dump prints
 * the same way.
 */
#ifndef QUARN_TOOLS_DUMP_FILES_H
#define QUARN_TOOLS_DUMP_FILES_H

namespace converter {

/* Prints the structure of each file in turn (quarn_dump_file) on standard
 * output. The first file that cannot be opened or walked ends the run with
 * "Error code: N" on standard error and status 1; otherwise 0. */
int dump_files(int count, char *const *paths);

} // namespace converter

#endif
