// Real parts for the bridge tests: a pseudo-terminal as the serial line,
// TCP clients on 127.0.0.1, and the bridge as a process ended by pid.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A pseudo-terminal pair. The bridge opens the slave by path; the test plays
// the far end of the line on the master. The test keeps a slave descriptor
// of its own so that the line stays up between sessions and its settings can
// be read back.
class pty_line {
public:
    pty_line();
    ~pty_line();
    pty_line(const pty_line &) = delete;
    pty_line &operator=(const pty_line &) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string &path() const { return path_; }
    int slave() const { return slave_; }
    int master() const { return master_; }

    // Puts the line back into a cooked state (echo, canonical input, CR/NL
    // translation, 38400 baud), so that a bridge's raw set-up can be seen.
    void cook();
    // True once the line shows the bridge's raw set-up, within timeout.
    bool wait_raw(double timeout);

    bool send(const std::string &bytes, double timeout = 10);
    // Reads until count bytes have come or the time-out passes.
    std::string receive(size_t count, double timeout = 10);
    // Whatever arrives within the quiet period.
    std::string drain(double quiet);

    // Closes the master: the line hangs up for the bridge.
    void hang_up();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A port that nothing listened on a moment ago.
int free_port();

// True once something listens on the TCP port, within timeout (from
// /proc/net/tcp, so that no probe connection becomes a client).
bool wait_listening(int port, double timeout);

class tcp_client {
public:
    explicit tcp_client(int port);  // connects to 127.0.0.1:port
    ~tcp_client();
    tcp_client(const tcp_client &) = delete;
    tcp_client &operator=(const tcp_client &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int local_port() const;

    bool send(const std::string &bytes, double timeout = 10);
    std::string receive(size_t count, double timeout = 10);
    std::string drain(double quiet);
    // True when the bridge has closed the connection (end of file or reset).
    bool wait_closed(double timeout);
    void shut_down_sending();
    // Closes with a reset instead of an orderly close.
    void reset();
    void close_now();

private:
    int fd_ = -1;
};

// The bridge under test, started through the launcher, with its standard
// output and error collected as they come. The destructor kills it by pid.
class bridge_process {
public:
    // reserve: descriptors the process starts with taken (3 up to reserve-1).
    bridge_process(const std::vector<std::string> &args, int reserve = 0);
    ~bridge_process();
    bridge_process(const bridge_process &) = delete;
    bridge_process &operator=(const bridge_process &) = delete;

    pid_t pid() const { return pid_; }
    bool wait_output(const std::string &wanted, double timeout = 10);
    // Until standard output holds `wanted` at least `times` times.
    bool wait_output_times(const std::string &wanted, size_t times, double timeout = 10);
    bool wait_error(const std::string &wanted, double timeout = 10);
    // Collects standard output for `seconds`, then returns all of it so far.
    const std::string &settle(double seconds);
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }
    // Collects what is left and the exit status; -1 if it had to be killed.
    int wait_exit(double timeout = 10);
    bool running();

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

// User plus system CPU seconds the process has used so far.
double cpu_seconds(pid_t pid);

// True once the process has sat in a blocking send (the host's sendto) for
// a while, within timeout. Works behind an emulator too, which makes the
// host call itself.
bool wait_blocked_in_send(pid_t pid, double timeout);

// Processes whose command line holds every one of the words.
std::vector<pid_t> processes_with(const std::vector<std::string> &words);

// Number of open descriptors of a process.
int open_descriptors(pid_t pid);

// The bridge's program path, from TELESLOT.
std::string teleslot_path();

// Bytes that differ from one position to the next, so that a lost or
// reordered stretch shows.
std::string pattern(size_t size, unsigned seed);

}  // namespace testsupport
