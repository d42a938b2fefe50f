#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace qt {

std::string tool_path(const std::string &name) {
#ifdef QUARN_TOOL_DIR
    return std::string(QUARN_TOOL_DIR) + "/" + name;
#else
    return name;
#endif
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &argv0) {
    TempDir dir;
    const std::string out_path = dir.file("stdout"), err_path = dir.file("stderr");

    std::vector<std::string> strings;
    strings.push_back(argv0.empty() ? program : argv0);
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    RunResult result;
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
        else if (WIFSIGNALED(wstatus)) result.status = 128 + WTERMSIG(wstatus);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string corpus_dir() {
    std::error_code ec;
    return std::filesystem::is_directory(QUARN_CORPUS_DIR, ec) ? QUARN_CORPUS_DIR : "";
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    const std::string dir = corpus_dir();
    if (dir.empty()) return files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name != "README.md") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace qt
