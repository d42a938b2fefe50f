/*
 * measure.cpp: runs one command and reports what it cost: wall time, and
 * the peak resident memory of the process as wait4 gives it (ru_maxrss).
 *
 *     measure [--timeout SECONDS] [--stdout FILE] [--stderr FILE] -- COMMAND ARGS...
 *
 * The command's standard input is /dev/null; its standard output and error
 * go to the files given (default: /dev/null). Prints one line on standard
 * output:
 *
 *     seconds=1.234 maxrss_kb=5678 status=0
 *
 * status is the command's exit status, 128 + the signal number when a signal
 * ended it, 124 when it ran past the timeout (it is then killed) and 127
 * when it could not be started. measure itself exits 0 when it could
 * measure, 2 on a bad command line.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t timed_out = 0;

void on_alarm(int) { timed_out = 1; }

[[noreturn]] void usage(const char *program) {
    std::fprintf(stderr,
                 "Usage: %s [--timeout SECONDS] [--stdout FILE] [--stderr FILE] -- COMMAND "
                 "ARGS...\n",
                 program);
    std::exit(2);
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

/* In the child: fd becomes path, opened with flags. */
void redirect(int fd, const char *path, int flags) {
    const int opened = open(path, flags, 0644);
    if (opened < 0 || dup2(opened, fd) < 0) _exit(127);
    close(opened);
}

} // namespace

int main(int argc, char **argv) {
    unsigned timeout = 0;
    const char *out_path = "/dev/null";
    const char *err_path = "/dev/null";
    int i = 1;
    for (; i < argc; i++) {
        const std::string_view a = argv[i];
        if (a == "--") {
            i++;
            break;
        }
        if (i + 1 >= argc) usage(argv[0]);
        if (a == "--timeout")
            timeout = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--stdout")
            out_path = argv[++i];
        else if (a == "--stderr")
            err_path = argv[++i];
        else
            usage(argv[0]);
    }
    if (i >= argc) usage(argv[0]);

    struct sigaction action {};
    action.sa_handler = on_alarm; /* no SA_RESTART: the alarm interrupts wait4 */
    sigaction(SIGALRM, &action, nullptr);

    const double start = now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
        redirect(STDOUT_FILENO, out_path, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(STDERR_FILENO, err_path, O_WRONLY | O_CREAT | O_TRUNC);
        execvp(argv[i], argv + i);
        _exit(127);
    }
    if (timeout > 0) alarm(timeout);

    int wstatus = 0;
    rusage usage{};
    bool killed = false;
    for (;;) {
        const pid_t done = wait4(child, &wstatus, 0, &usage);
        if (done == child) break;
        if (done < 0 && errno == EINTR) {
            if (timed_out && !killed) {
                kill(child, SIGKILL);
                killed = true;
            }
            continue;
        }
        std::perror("wait4");
        return 2;
    }
    const double seconds = now() - start;
    alarm(0);

    int status;
    if (killed)
        status = 124;
    else if (WIFEXITED(wstatus))
        status = WEXITSTATUS(wstatus);
    else
        status = 128 + WTERMSIG(wstatus);
    std::printf("seconds=%.3f maxrss_kb=%ld status=%d\n", seconds, usage.ru_maxrss, status);
    return 0;
}
