#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

int decode_status(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

[[noreturn]] void exec_behind_launcher(const std::vector<std::string> &argv)
{
    // The test ignores SIGPIPE for its own sake; the program under test must
    // start with the default, as it would from a shell.
    signal(SIGPIPE, SIG_DFL);
    std::vector<std::string> words = launcher();
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char *> args;
    for (std::string &word : words)
        args.push_back(word.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

std::chrono::steady_clock::time_point deadline_after(double seconds)
{
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(static_cast<long>(seconds * time_scale() * 1000));
}

int millis_left(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::vector<std::string> launcher()
{
    std::vector<std::string> words;
    if (const char *text = getenv("TARGET_LAUNCHER")) {
        std::istringstream in(text);
        for (std::string word; in >> word;)
            words.push_back(word);
    }
    return words;
}

double time_scale()
{
    const char *text = getenv("TEST_TIME_SCALE");
    const double scale = text ? atof(text) : 1.0;
    return scale > 0 ? scale : 1.0;
}

std::string program_path(const char *variable)
{
    const char *path = getenv(variable);
    return path ? path : "";
}

run_result run(const std::vector<std::string> &argv, const run_options &options)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        if (!options.stdout_path.empty()) {
            const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        } else {
            dup2(out_pipe[1], 1);
        }
        dup2(options.merge_streams ? out_pipe[1] : err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        close_range(3, ~0u, 0);
        exec_behind_launcher(argv);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    run_result result;
    const auto deadline = deadline_after(options.timeout);
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (options.input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    while ((out_fd >= 0 || err_fd >= 0) && millis_left(deadline) > 0) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, millis_left(deadline)) <= 0)
            continue;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            int &fd = i == 0 ? out_fd : err_fd;
            const ssize_t count = read(fd, buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(count));
            } else {
                close(fd);
                fd = -1;
            }
        }
        if (fds[2].revents != 0) {
            const ssize_t count =
                write(in_fd, options.input.data() + written, options.input.size() - written);
            if (count > 0)
                written += static_cast<size_t>(count);
            if (count < 0 || written == options.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    const bool hung = out_fd >= 0 || err_fd >= 0;
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    // With both pipes closed the child is on its way out; a hung one has used
    // up its time already and is killed at once.
    result.status = wait_for_exit(pid, hung ? 0.0 : 5.0);
    return result;
}

pid_t spawn(const std::vector<std::string> &argv, int *out_fd, int *err_fd, int reserve)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {null_fd, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        // Nothing of the test's own (its end of the line, its clients) may
        // leak into the program under test.
        close_range(3, ~0u, 0);
        for (int fd = 3; fd < reserve; ++fd)
            dup2(0, fd);
        exec_behind_launcher(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    *out_fd = out_pipe[0];
    *err_fd = err_pipe[0];
    return pid;
}

int wait_for_exit(pid_t pid, double timeout)
{
    const auto deadline = deadline_after(timeout);
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid)
            return decode_status(raw);
        if (done < 0)
            return -1;
        if (millis_left(deadline) == 0) {
            kill_and_reap(pid);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void kill_and_reap(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
}

bool read_until(int fd, std::string &text, const std::string &wanted, double timeout)
{
    const auto deadline = deadline_after(timeout);
    while (text.find(wanted) == std::string::npos) {
        pollfd entry = {fd, POLLIN, 0};
        const int left = millis_left(deadline);
        if (left == 0 || poll(&entry, 1, left) <= 0)
            return false;
        char buffer[4096];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0)
            return text.find(wanted) != std::string::npos;
        text.append(buffer, static_cast<size_t>(count));
    }
    return true;
}

}  // namespace testsupport
