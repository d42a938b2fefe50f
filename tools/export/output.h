/*
 * output.h: the safe-output rule of quarn export, written once for every
 * format. An output (a file, or a folder of files) is written under a
 * temporary name beside where it goes and put in place only when the whole
 * export succeeded, so a failure never leaves a half-written output, and an
 * existing output is replaced only when the user said --force.
 *
 * A file output is written as ".NAME.quarn-XXXXXX" in the same folder and
 * renamed over NAME. A folder output that does not exist yet is written as
 * such a folder and renamed; into a folder that exists, the export writes a
 * temporary folder inside it and moves each entry out of it at the end
 * (an entry that exists already needs --force, and is then replaced).
 * Whatever is not committed is removed when the object goes.
 */
#ifndef QUARN_EXPORT_OUTPUT_H
#define QUARN_EXPORT_OUTPUT_H

#include <string>

namespace qexport {

class StagedOutput {
  public:
    enum class Kind { file, folder };

    StagedOutput() = default;
    StagedOutput(const StagedOutput &) = delete;
    StagedOutput &operator=(const StagedOutput &) = delete;
    ~StagedOutput() { discard(); }

    /* Makes the temporary name for an output at path. Fails (false, with
     * *error set to the message after "quarn: ") when the path cannot
     * take this kind of output: a file output where a folder is, an existing
     * file without force, a folder that cannot be written. */
    bool prepare(const std::string &path, Kind kind, bool force, std::string *error);

    bool prepared() const { return !work_.empty(); }
    /* Where the output is meant to be. */
    const std::string &path() const { return path_; }
    /* Where to write it now: a file (created empty) or a folder. */
    const std::string &work() const { return work_; }

    /* Whether committing would replace something without force: true (and
     * *error set) when it would. */
    bool check(std::string *error) const;
    /* Puts the output in place. On failure *error holds the reason; what
     * was not moved is removed with the object. */
    bool commit(std::string *error);
    /* Removes the temporary output; the object is unprepared afterwards. */
    void discard();

  private:
    std::string path_, work_;
    Kind kind_ = Kind::file;
    bool force_ = false;
    bool into_existing_ = false; /* folder: entries are moved into path_ */
};

/* Removes path and, for a folder, everything in it. */
void remove_tree(const std::string &path);

/* The folder part of a path ("." when it has none). */
std::string parent_folder(const std::string &path);

} // namespace qexport

#endif
