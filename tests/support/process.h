/*
 * process.h: running the project's programs from tests, and scratch
 * directories for their outputs.
 */
#ifndef QUARN_TEST_PROCESS_H
#define QUARN_TEST_PROCESS_H

#include <string>
#include <vector>

namespace qt {

struct RunResult {
    int status = -1;   /* exit status; 128 + signal number when killed */
    std::string out;   /* everything written to standard output */
    std::string err;   /* everything written to standard error */
};

/* Path of one of the built programs ("quarn-dump", "quarn-to-json", ...). */
std::string tool_path(const std::string &name);

/* Runs program with args (argv[0] is argv0 when given, else program), with
 * standard input from /dev/null, and collects its outputs and status. */
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &argv0 = "");

/* A fresh directory under the system's temporary folder, removed with all
 * its contents when the object goes. */
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/* Whole contents of a file; empty when it cannot be read. */
std::string read_file(const std::string &path);

/* The folder of real database files made by others, or "" when absent. */
std::string corpus_dir();

/* The regular files of the corpus folder, sorted; empty when absent. */
std::vector<std::string> corpus_files();

} // namespace qt

#endif
