/*
 * batch.cpp: quarn export of many inputs (batch.h). The parent plans every
 * output name first, then keeps up to N children running, each exporting
 * one input through run_export and ending with its status. Children share
 * nothing but the terminal: the library handle, the format and the staged
 * outputs are each child's own, and the outputs are distinct by name.
 */
#include "batch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace qexport {

namespace {

std::string base_name(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stem(const std::string &path) {
    const std::string base = base_name(path);
    const size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

std::string format_extension(const std::string &format) {
    if (format == "sqlite") return ".sqlite";
    if (format == "json") return ".json";
    if (format == "xlsx") return ".xlsx";
    return ""; /* csv and jsonl write a folder */
}

} // namespace

std::vector<std::string> batch_output_names(const std::vector<std::string> &inputs, const std::string &format) {
    const std::string ext = format_extension(format);
    std::set<std::string> taken;
    std::vector<std::string> names;
    for (const std::string &input : inputs) {
        const std::string s = stem(input);
        std::string name = s + ext;
        for (int n = 2; taken.count(name) != 0; n++) name = s + "-" + std::to_string(n) + ext;
        taken.insert(name);
        names.push_back(name);
    }
    return names;
}

int run_export_many(const BatchOptions &options) {
    const std::string format = choose_format(options.common.to, "");
    const std::vector<std::string> names = batch_output_names(options.inputs, format);

    std::error_code error;
    std::filesystem::create_directories(options.outdir, error);
    if (error) {
        fprintf(stderr, "quarn: cannot make %s: %s\n", options.outdir.c_str(), error.message().c_str());
        return 1;
    }
    std::string outdir = options.outdir;
    while (outdir.size() > 1 && outdir.back() == '/') outdir.pop_back();

    for (size_t i = 0; i < options.inputs.size(); i++) {
        const std::string wanted = stem(options.inputs[i]) + format_extension(format);
        if (names[i] != wanted)
            fprintf(stderr, "quarn: %s goes to %s/%s: %s is another input's\n", options.inputs[i].c_str(),
                    outdir.c_str(), names[i].c_str(), wanted.c_str());
    }

    std::map<pid_t, size_t> running; /* child -> input */
    size_t next = 0, failed = 0, finished = 0;
    const size_t total = options.inputs.size();
    bool stopping = false;
    while (next < total || !running.empty()) {
        if (stop_requested() && !stopping) {
            stopping = true;
            for (const auto &[pid, _] : running) kill(pid, SIGTERM);
        }
        if (!stopping && next < total && running.size() < options.jobs) {
            ExportOptions one = options.common;
            one.input = options.inputs[next];
            one.output = outdir + "/" + names[next];
            one.progress = false;
            if (options.common.containers) one.containers = *options.common.containers + "/" + stem(names[next]);
            fflush(stdout);
            fflush(stderr);
            const pid_t pid = fork();
            if (pid == 0) {
                const int status = run_export(one);
                fflush(stdout);
                fflush(stderr);
                _exit(status);
            }
            if (pid < 0) {
                fprintf(stderr, "quarn: cannot start the export of %s: %s\n", one.input.c_str(), strerror(errno));
                failed++;
                finished++;
            } else {
                running[pid] = next;
            }
            next++;
            continue;
        }
        if (stopping && running.empty()) break;
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue; /* a signal: looked at above */
            break;
        }
        const auto it = running.find(pid);
        if (it == running.end()) continue;
        const size_t i = it->second;
        running.erase(it);
        finished++;
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok) {
            failed++;
            if (WIFSIGNALED(status) && !stopping)
                fprintf(stderr, "quarn: %s: the export ended by signal %d\n", options.inputs[i].c_str(), WTERMSIG(status));
        } else if (!options.common.quiet) {
            fprintf(stderr, "quarn: [%zu/%zu] %s -> %s/%s\n", finished, total, options.inputs[i].c_str(),
                    outdir.c_str(), names[i].c_str());
        }
    }
    if (stopping) {
        fprintf(stderr, "quarn: interrupted: %zu of %zu inputs exported\n", finished - failed, total);
        return 1;
    }
    if (failed > 0) {
        fprintf(stderr, "quarn: %zu of %zu inputs failed\n", failed, total);
        return 1;
    }
    return 0;
}

} // namespace qexport
