// Running the programs under test as real processes, optionally through a
// launcher such as an emulator, with every wait bounded.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// The launcher prefix from TARGET_LAUNCHER (words split on blanks); empty
// when the programs run natively.
std::vector<std::string> launcher();

// Time-outs are multiplied by TEST_TIME_SCALE (default 1), so that an
// emulated run gets the room it needs without slowing the native one.
double time_scale();

// A point in time `seconds` (scaled) from now, and what is left until it.
std::chrono::steady_clock::time_point deadline_after(double seconds);
int millis_left(std::chrono::steady_clock::time_point deadline);

// Path of a program under test, named by an environment variable.
std::string program_path(const char *variable);

struct run_options {
    std::string input;          // written to standard input, which is then closed
    bool merge_streams = false; // standard error goes into the standard output pipe
    std::string stdout_path;    // standard output to this file instead of a pipe
    double timeout = 20;        // seconds, before scaling
};

struct run_result {
    int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs argv (behind the launcher) to its end and collects its output.
run_result run(const std::vector<std::string> &argv, const run_options &options = {});

// Starts argv (behind the launcher) with its standard input on /dev/null and
// its standard output and error on pipes the caller reads. With reserve, the
// child starts with descriptors 3 up to reserve-1 taken. Returns the pid.
pid_t spawn(const std::vector<std::string> &argv, int *out_fd, int *err_fd, int reserve = 0);

// Waits for pid to end, at most timeout seconds (scaled); kills it by pid
// after that. Returns as run_result::status does.
int wait_for_exit(pid_t pid, double timeout);

// Sends SIGKILL to pid and reaps it.
void kill_and_reap(pid_t pid);

// Appends what is readable on fd to text until it holds `wanted` or the
// time-out passes; true when found. A closed pipe ends the wait early.
bool read_until(int fd, std::string &text, const std::string &wanted, double timeout);

}  // namespace testsupport
