/*
 * batch.h: quarn export of many inputs into one folder (--outdir), N at a
 * time. Each input is exported by run_export (export.h) in a child process
 * of its own, so that a damaged or failing input ends only its own export:
 * the others still convert, and the status says whether all succeeded.
 */
#ifndef QUARN_EXPORT_BATCH_H
#define QUARN_EXPORT_BATCH_H

#include "export.h"

#include <string>
#include <vector>

namespace qexport {

struct BatchOptions {
    /* the options of every export; input and output are set per input,
     * containers (when given) names the folder that receives one folder of
     * files per input */
    ExportOptions common;
    std::vector<std::string> inputs;
    std::string outdir;
    unsigned jobs = 1; /* exports at a time, at least 1 */
};

/* The name of each input's output inside the folder: the input's name
 * without its last extension, followed by the format's extension (.sqlite,
 * .json, .xlsx; none for the folder formats csv and jsonl). An input whose
 * name is taken by an earlier one gets "-2", "-3", ... after its stem. */
std::vector<std::string> batch_output_names(const std::vector<std::string> &inputs, const std::string &format);

/* Exports every input into options.outdir (made when missing), at most
 * options.jobs at a time. Each export prints its own messages; a line
 * "quarn: INPUT -> OUTPUT" follows each one that succeeded unless quiet,
 * and an input whose output had to be renamed is said so. Returns 0 when
 * every input was exported, 1 when any failed or the run was stopped
 * (request_stop: the running exports end as interrupted, no other starts). */
int run_export_many(const BatchOptions &options);

} // namespace qexport

#endif
