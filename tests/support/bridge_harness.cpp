#include "bridge_harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "process.h"

namespace testsupport {

namespace {

// Writes all of bytes to a non-blocking or blocking descriptor within the time-out.
bool send_within(int fd, const std::string &bytes, double timeout, bool socket)
{
    const auto deadline = deadline_after(timeout);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = socket ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                                     : write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        pollfd entry = {fd, POLLOUT, 0};
        if (millis_left(deadline) == 0)
            return false;
        poll(&entry, 1, std::min(millis_left(deadline), 50));
    }
    return true;
}

// Reads up to count bytes; stops early at end of file or when nothing has
// come for `quiet` seconds (quiet < 0: only the deadline counts).
std::string receive_within(int fd, size_t count, double timeout, double quiet, bool *closed = nullptr)
{
    const auto deadline = deadline_after(timeout);
    std::string text;
    while (text.size() < count) {
        int wait = millis_left(deadline);
        if (quiet >= 0)
            wait = std::min(wait, static_cast<int>(quiet * time_scale() * 1000));
        pollfd entry = {fd, POLLIN, 0};
        if (wait == 0 || poll(&entry, 1, wait) <= 0)
            break;
        char buffer[65536];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - text.size()));
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (closed)
                *closed = true;
            break;
        }
    }
    return text;
}

}  // namespace

pty_line::pty_line()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    path_ = ptsname(master_);
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    cook();
}

pty_line::~pty_line()
{
    if (slave_ >= 0)
        close(slave_);
    hang_up();
}

void pty_line::cook()
{
    termios line;
    if (tcgetattr(slave_, &line) != 0)
        return;
    line.c_iflag = ICRNL | IXON;
    line.c_oflag = OPOST | ONLCR;
    line.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    line.c_cflag = CS7 | CREAD | PARENB | HUPCL;
    cfsetispeed(&line, B38400);
    cfsetospeed(&line, B38400);
    tcsetattr(slave_, TCSANOW, &line);
}

bool pty_line::wait_raw(double timeout)
{
    const auto deadline = deadline_after(timeout);
    for (;;) {
        termios line;
        if (tcgetattr(slave_, &line) == 0 && line.c_lflag == NOFLSH)
            return true;
        if (millis_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool pty_line::send(const std::string &bytes, double timeout) { return send_within(master_, bytes, timeout, false); }

std::string pty_line::receive(size_t count, double timeout) { return receive_within(master_, count, timeout, -1); }

std::string pty_line::drain(double quiet) { return receive_within(master_, SIZE_MAX, quiet * 4 + 1, quiet); }

void pty_line::hang_up()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool wait_listening(int port, double timeout)
{
    char wanted[32];
    snprintf(wanted, sizeof wanted, ":%04X ", port);
    const auto deadline = deadline_after(timeout);
    for (;;) {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            // local address column "00000000:PORT", state 0A (listening)
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && (local + " ").find(wanted) != std::string::npos)
                return true;
        }
        if (millis_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

tcp_client::tcp_client(int port)
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        close_now();
}

tcp_client::~tcp_client() { close_now(); }

int tcp_client::local_port() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

bool tcp_client::send(const std::string &bytes, double timeout) { return send_within(fd_, bytes, timeout, true); }

std::string tcp_client::receive(size_t count, double timeout) { return receive_within(fd_, count, timeout, -1); }

std::string tcp_client::drain(double quiet) { return receive_within(fd_, SIZE_MAX, quiet * 4 + 1, quiet); }

bool tcp_client::wait_closed(double timeout)
{
    const auto deadline = deadline_after(timeout);
    for (;;) {
        bool closed = false;
        receive_within(fd_, SIZE_MAX, millis_left(deadline) / 1000.0 / time_scale(), -1, &closed);
        if (closed)
            return true;
        if (millis_left(deadline) == 0)
            return false;
    }
}

void tcp_client::shut_down_sending() { shutdown(fd_, SHUT_WR); }

void tcp_client::reset()
{
    const linger hard = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close_now();
}

void tcp_client::close_now()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bridge_process::bridge_process(const std::vector<std::string> &args, int reserve)
{
    std::vector<std::string> argv = {teleslot_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (reserve > 0) {
        // Raise the ceiling in this process, so that the child inherits it,
        // and have the child start with everything below `reserve` taken.
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < static_cast<rlim_t>(reserve) + 256) {
            limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(reserve) + 256);
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    pid_ = spawn(argv, &out_fd_, &err_fd_, reserve);
}

bridge_process::~bridge_process()
{
    kill_and_reap(pid_);
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

bool bridge_process::wait_output(const std::string &wanted, double timeout) { return read_until(out_fd_, out_, wanted, timeout); }

bool bridge_process::wait_output_times(const std::string &wanted, size_t times, double timeout)
{
    const auto deadline = deadline_after(timeout);
    for (;;) {
        size_t seen = 0;
        for (size_t at = out_.find(wanted); at != std::string::npos; at = out_.find(wanted, at + wanted.size()))
            ++seen;
        if (seen >= times)
            return true;
        const double left = millis_left(deadline) / 1000.0 / time_scale();
        if (left <= 0)
            return false;
        pollfd entry = {out_fd_, POLLIN, 0};
        if (poll(&entry, 1, millis_left(deadline)) <= 0)
            return false;
        char buffer[4096];
        const ssize_t count = read(out_fd_, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        out_.append(buffer, static_cast<size_t>(count));
    }
}

bool bridge_process::wait_error(const std::string &wanted, double timeout) { return read_until(err_fd_, err_, wanted, timeout); }

const std::string &bridge_process::settle(double seconds)
{
    read_until(out_fd_, out_, std::string(1, '\0'), seconds);
    return out_;
}

int bridge_process::wait_exit(double timeout)
{
    const int status = wait_for_exit(pid_, timeout);
    pid_ = -1;
    // The process has ended: its pipes hold all it wrote.
    read_until(out_fd_, out_, std::string(1, '\0'), 0.2);
    read_until(err_fd_, err_, std::string(1, '\0'), 0.2);
    return status;
}

bool bridge_process::running()
{
    int raw = 0;
    return pid_ > 0 && waitpid(pid_, &raw, WNOHANG) == 0;
}

double cpu_seconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14)
            user = std::stoull(field);
        if (number == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool wait_blocked_in_send(pid_t pid, double timeout)
{
    const std::string sendto = std::to_string(SYS_sendto);
    const auto deadline = deadline_after(timeout);
    for (int in_a_row = 0; in_a_row < 5;) {
        std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
        std::string number;
        file >> number;
        in_a_row = number == sendto ? in_a_row + 1 : 0;
        if (millis_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<pid_t> processes_with(const std::vector<std::string> &words)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent *entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        std::istringstream parts(text);
        for (std::string arg; std::getline(parts, arg, '\0');)
            args.push_back(arg);
        bool all = true;
        for (const std::string &word : words)
            all = all && std::find(args.begin(), args.end(), word) != args.end();
        if (all)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

int open_descriptors(pid_t pid)
{
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (fds == nullptr)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(fds))
        count += entry->d_name[0] != '.';
    closedir(fds);
    return count;
}

std::string teleslot_path() { return program_path("TELESLOT"); }

std::string pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 23);
    }
    return bytes;
}

}  // namespace testsupport
