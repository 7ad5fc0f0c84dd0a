// bench: what the programs cost, each figure a ratio against a baseline run
// side by side in the same invocation, medians over repeated runs.
//
//   bench CAIRNVAR TELESLOT [TARGET_CAIRNVAR TARGET_TELESLOT]
//
// Prints one table row per figure with its goal. Never part of the tests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge_harness.h"
#include "envimage.h"
#include "scratch.h"

using namespace testsupport;
using clock_type = std::chrono::steady_clock;

namespace {

struct row {
    std::string figure, measured, baseline, ratio, goal;
    bool met;
};
std::vector<row> table;

void add(const std::string &figure, const std::string &measured, const std::string &baseline,
         const std::string &ratio, const std::string &goal, bool met)
{
    table.push_back({figure, measured, baseline, ratio, goal, met});
    fprintf(stderr, "  measured: %s\n", figure.c_str());
}

std::string format(const char *pattern, double value)
{
    char text[64];
    snprintf(text, sizeof text, pattern, value);
    return text;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct process_cost {
    double seconds;
    long max_rss_kib;
};

// Runs argv to its end with standard input and output on the given files.
process_cost run_timed(const std::vector<std::string> &argv, const char *in_path, const char *out_path)
{
    const auto start = clock_type::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(in_path, O_RDONLY), out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {std::chrono::duration<double>(clock_type::now() - start).count(), usage.ru_maxrss};
}

// Median wall time of each of two commands, run alternately.
std::pair<double, double> race(const std::function<process_cost()> &subject,
                               const std::function<process_cost()> &baseline, int rounds)
{
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        a.push_back(subject().seconds);
        b.push_back(baseline().seconds);
    }
    return {median(a), median(b)};
}

// Peak resident memory of a command, run by `bench --peak-rss` (see main).
long peak_rss_kib(const std::vector<std::string> &argv)
{
    std::vector<std::string> helper = {"/proc/self/exe", "--peak-rss"};
    helper.insert(helper.end(), argv.begin(), argv.end());
    scratch_dir dir;
    const std::string report = dir.path("rss");
    run_timed(helper, "/dev/null", report.c_str());
    std::ifstream in(report);
    long kib = -1;
    in >> kib;
    return kib;
}

void bench_reader(const std::string &cairnvar)
{
    scratch_dir dir;
    // 16 MiB of entries of mixed length, as a flash image and as the bare data area.
    const size_t block = 16 << 20;
    std::vector<std::string> entries;
    size_t used = 1;
    for (int i = 0; used < block - 4 - 200; ++i) {
        std::string entry = "variable_" + std::to_string(i) + "=" + std::string(static_cast<size_t>(8 + i % 64), 'a' + i % 26);
        used += entry.size() + 1;
        entries.push_back(entry);
    }
    const std::string area = envimage::data_area(entries, block - 4);
    const std::string image = dir.file("big.img", envimage::block(area));
    // The baseline's bytes: the entries and their end, the same bytes the
    // listing reads and prints.
    const std::string bare = dir.file("area.bin", area.substr(0, used));
    const std::string size = std::to_string(block);

    const auto listing = [&] { return run_timed({cairnvar, "-d", image, "-o", "0", "-s", size}, "/dev/null", "/dev/null"); };
    const auto tr = [&] { return run_timed({"tr", "\\0", "\\n"}, bare.c_str(), "/dev/null"); };
    listing();
    tr();
    auto [list_time, tr_time] = race(listing, tr, 11);
    add("reader: list a 16 MiB block", format("%.1f ms", list_time * 1e3), format("tr: %.1f ms", tr_time * 1e3),
        format("%.2f", list_time / tr_time), "<= 1.20", list_time / tr_time <= 1.2);
    // What loading alone costs: the same block, one name found at its start.
    // The difference is the listing's own cost.
    const auto load = [&] { return run_timed({cairnvar, "-d", image, "-o", "0", "-s", size, "variable_0"}, "/dev/null", "/dev/null"); };
    auto [list_again, load_time] = race(listing, load, 11);
    add("reader: listing beyond loading", format("%.1f ms", (list_again - load_time) * 1e3),
        format("tr: %.1f ms", tr_time * 1e3), format("%.2f", (list_again - load_time) / tr_time), "report", true);
    add("reader: loading the 16 MiB block", format("%.1f ms", load_time * 1e3), format("tr: %.1f ms", tr_time * 1e3),
        format("%.2f", load_time / tr_time), "report", true);

    const std::string small_area = envimage::data_area({"first=1", "wanted=yes"}, (128 << 10) - 4, '\0');
    const std::string small = dir.file("small.img", envimage::block(small_area));
    const auto lookup = [&] { return run_timed({cairnvar, "-d", small, "-o", "0", "-s", "131072", "wanted"}, "/dev/null", "/dev/null"); };
    const auto trivial = [&] { return run_timed({"true"}, "/dev/null", "/dev/null"); };
    auto [lookup_time, true_time] = race(lookup, trivial, 51);
    add("reader: look up a name in 128 KiB", format("%.2f ms", lookup_time * 1e3),
        format("true: %.2f ms", true_time * 1e3), format("%.2f", lookup_time / true_time), "<= 1.50",
        lookup_time / true_time <= 1.5);

    // Measured from a freshly started copy of this program, so that the
    // child's figure is not that of a fork of this large process.
    const long rss = peak_rss_kib({cairnvar, "-d", image, "-o", "0", "-s", size});
    const long bare_rss = peak_rss_kib({"true"});
    const double over = static_cast<double>(rss) / 1024.0 - static_cast<double>(block) / (1 << 20);
    add("reader: peak memory, 16 MiB block", format("%.2f MiB", rss / 1024.0),
        "block 16.00 MiB; true alone " + format("%.2f MiB", bare_rss / 1024.0), format("+%.2f MiB", over),
        "<= +1.00 MiB", over <= 1.0);
}

// --- bridge -------------------------------------------------------------

// Moves `total` bytes from a writer to a reader descriptor and returns MB/s.
double stream(const std::function<bool(const std::string &)> &send,
              const std::function<std::string(size_t)> &receive, size_t total, size_t piece = 64 << 10,
              size_t read_most = 1 << 20)
{
    const std::string chunk(piece, 'z');
    const auto start = clock_type::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += chunk.size())
            send(chunk);
    });
    size_t got = 0;
    while (got < total) {
        const std::string part = receive(std::min<size_t>(total - got, read_most));
        if (part.empty())
            break;
        got += part.size();
    }
    writer.join();
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return got == total ? static_cast<double>(total) / seconds / 1e6 : 0.0;
}

// A connected pair of loopback TCP sockets.
std::pair<int, int> loopback_pair()
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const int a = socket(AF_INET, SOCK_STREAM, 0);
    connect(a, reinterpret_cast<sockaddr *>(&address), sizeof address);
    const int b = accept(listener, nullptr, nullptr);
    close(listener);
    return {a, b};
}

bool write_all(int fd, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
        } else {
            pollfd entry = {fd, POLLOUT, 0};
            if (poll(&entry, 1, 10000) <= 0)
                return false;
        }
    }
    return true;
}

std::string read_some(int fd, size_t most)
{
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 10000) <= 0)
        return "";
    std::string buffer(std::min<size_t>(most, 1 << 16), '\0');
    const ssize_t count = read(fd, buffer.data(), buffer.size());
    return count > 0 ? buffer.substr(0, static_cast<size_t>(count)) : "";
}

// One byte there and back, `rounds` times; median microseconds.
double round_trip(int out, int in, int echo_in, int echo_out, int rounds)
{
    std::vector<double> times;
    char byte = 'r';
    for (int i = 0; i < rounds; ++i) {
        const auto start = clock_type::now();
        if (write(out, &byte, 1) != 1 || read_some(echo_in, 1).size() != 1 || write(echo_out, &byte, 1) != 1 ||
            read_some(in, 1).size() != 1)
            return -1;
        times.push_back(std::chrono::duration<double>(clock_type::now() - start).count() * 1e6);
    }
    return median(times);
}

long resident_kib(pid_t pid, const char *field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, strlen(field), field) == 0)
            return atol(line.c_str() + strlen(field) + 1);
    return -1;
}

// The benchmark's own pseudo-terminal, raw as the bridge would set it.
void make_raw(const pty_line &line)
{
    termios raw;
    tcgetattr(line.slave(), &raw);
    cfmakeraw(&raw);
    tcsetattr(line.slave(), TCSANOW, &raw);
}

void bench_bridge(const std::string &teleslot)
{
    setenv("TELESLOT", teleslot.c_str(), 1);
    const size_t total = 32 << 20;

    // The limits: the same transfer through the pseudo-terminal alone and
    // through a loopback socket alone, done by the benchmark itself.
    double pty_rate, socket_rate;
    {
        pty_line line;
        make_raw(line);
        pty_rate = stream([&](const std::string &b) { return line.send(b, 30); },
                          [&](size_t n) { return read_some(line.slave(), n); }, total);
    }
    {
        auto [a, b] = loopback_pair();
        socket_rate = stream([&](const std::string &x) { return write_all(a, x); },
                             [&](size_t n) { return read_some(b, n); }, total);
        close(a);
        close(b);
    }
    const double limit = std::min(pty_rate, socket_rate);
    // The pseudo-terminal driven as the bridge drives it: 512-byte writes
    // into the line's side (toward the far end), and 512-byte reads from it
    // (from the far end). These are the floors its turns impose.
    double pty_write_512, pty_read_512;
    {
        pty_line line;
        make_raw(line);
        pty_write_512 = stream([&](const std::string &b) { return write_all(line.slave(), b); },
                               [&](size_t n) { return line.receive(n, 10); }, total / 4, 512);
        pty_read_512 = stream([&](const std::string &b) { return line.send(b, 30); },
                              [&](size_t n) { return read_some(line.slave(), n); }, total / 4, 64 << 10, 512);
    }

    pty_line line;
    const int port = free_port();
    bridge_process bridge({"-f", "-p", std::to_string(port), "-d", line.path(), "-s", "9600"});
    wait_listening(port, 10);
    tcp_client client(port);
    line.wait_raw(10);
    // The bench reads and writes the line through its own slave descriptor
    // too; the master is what the bridge's far end would be.
    const double before = cpu_seconds(bridge.pid());
    const double up = stream([&](const std::string &b) { return client.send(b, 30); },
                             [&](size_t n) { return line.receive(n, 10); }, total);
    const double down = stream([&](const std::string &b) { return line.send(b, 30); },
                               [&](size_t n) { return client.receive(n, 10); }, total);
    const double cpu_per_mib = (cpu_seconds(bridge.pid()) - before) / (2.0 * total / (1 << 20));
    const std::string limit_text = format("%.0f MB/s", limit) + format(" (pty %.0f,", pty_rate) +
                                   format(" tcp %.0f)", socket_rate);
    add("bridge: client to line", format("%.0f MB/s", up), limit_text, format("%.2f", up / limit), ">= 0.50",
        up / limit >= 0.5);
    add("bridge: line to client", format("%.0f MB/s", down), limit_text, format("%.2f", down / limit), ">= 0.50",
        down / limit >= 0.5);
    add("bridge: client to line, vs 512-byte writes", format("%.0f MB/s", up),
        format("pty, 512 B writes: %.0f MB/s", pty_write_512), format("%.2f", up / pty_write_512), "report", true);
    add("bridge: line to client, vs 512-byte reads", format("%.0f MB/s", down),
        format("pty, 512 B reads: %.0f MB/s", pty_read_512), format("%.2f", down / pty_read_512), "report", true);
    add("bridge: CPU per MiB relayed", format("%.2f ms", cpu_per_mib * 1e3), "-", "-", "report", true);

    // One byte there and back: through the bridge, and directly through a
    // socket pair plus the pseudo-terminal.
    const int rounds = 2000;
    const double through = round_trip(client.fd(), client.fd(), line.master(), line.master(), rounds);
    double direct;
    {
        pty_line bare;
        make_raw(bare);
        auto [a, b] = loopback_pair();
        const double tcp = round_trip(a, a, b, b, rounds);
        const double pty = round_trip(bare.slave(), bare.slave(), bare.master(), bare.master(), rounds);
        direct = tcp + pty;
        close(a);
        close(b);
    }
    add("bridge: one-byte round trip", format("%.1f us", through), format("direct: %.1f us", direct),
        format("+%.1f us", through - direct), "<= +30 us", through - direct <= 30);

    const double idle_start = cpu_seconds(bridge.pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idle = cpu_seconds(bridge.pid()) - idle_start;
    add("bridge: CPU over 10 s idle session", format("%.2f s", idle), "-", "-", "0 s", idle < 0.01);
    add("bridge: resident memory (peak)", format("%.0f KiB", static_cast<double>(resident_kib(bridge.pid(), "VmHWM:"))),
        "-", "-", "report", true);
}

void bench_sizes(const std::vector<std::pair<std::string, std::string>> &programs)
{
    for (const auto &[tool, path] : programs) {
        FILE *pipe = popen((tool + " " + path + " 2>/dev/null | tail -n 1").c_str(), "r");
        unsigned long text = 0, data = 0;
        if (pipe == nullptr || fscanf(pipe, "%lu %lu", &text, &data) != 2)
            text = data = 0;
        if (pipe)
            pclose(pipe);
        const std::string name = path.substr(path.rfind('/') + 1) + (tool == "size" ? " (host)" : " (PowerPC)");
        add("size: " + name, format("%.0f B", static_cast<double>(text + data)),
            format("text %.0f", static_cast<double>(text)) + format(" + data %.0f", static_cast<double>(data)), "-",
            "< 8192 B on PowerPC", tool == "size" || text + data < 8192);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && strcmp(argv[1], "--peak-rss") == 0) {
        const process_cost cost = run_timed(std::vector<std::string>(argv + 2, argv + argc), "/dev/null", "/dev/null");
        printf("%ld\n", cost.max_rss_kib);
        return 0;
    }
    if (argc != 3 && argc != 5) {
        fputs("usage: bench CAIRNVAR TELESLOT [TARGET_CAIRNVAR TARGET_TELESLOT]\n", stderr);
        return 2;
    }
    fputs("running benchmarks (about a minute)\n", stderr);
    bench_reader(argv[1]);
    bench_bridge(argv[2]);
    std::vector<std::pair<std::string, std::string>> programs = {{"size", argv[1]}, {"size", argv[2]}};
    if (argc == 5) {
        programs.push_back({"powerpc-linux-gnu-size", argv[3]});
        programs.push_back({"powerpc-linux-gnu-size", argv[4]});
    }
    bench_sizes(programs);

    printf("| figure | measured | baseline | ratio | goal | met |\n|---|---|---|---|---|---|\n");
    bool all = true;
    for (const row &r : table) {
        printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(), r.baseline.c_str(),
               r.ratio.c_str(), r.goal.c_str(), r.met ? "yes" : "NO");
        all = all && r.met;
    }
    return all ? 0 : 1;
}
