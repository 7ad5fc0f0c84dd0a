// teleslot as a process: a pseudo-terminal plays the serial line, clients
// connect over 127.0.0.1, and the bridge is ended by pid after every test.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "bridge_harness.h"
#include "process.h"
#include "scratch.h"

using namespace testsupport;
using namespace std::string_literals;

namespace {

const std::string usage_line = "Usage: teleslot -p port -d device -s speed\n";

std::string all_byte_values()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

std::string link_of(const std::string &path)
{
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

// Descriptors of pid that point at path.
std::vector<int> descriptors_on(pid_t pid, const std::string &path)
{
    std::vector<int> found;
    for (int fd = 0; fd < 4096; ++fd)
        if (link_of("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)) == path)
            found.push_back(fd);
    return found;
}

class Teleslot : public testing::Test {
protected:
    // Starts the bridge in the foreground on the pseudo-terminal.
    void start(const std::vector<std::string> &extra, const std::string &speed = "9600",
               int reserve = 0)
    {
        bridge.reset();
        port = free_port();
        std::vector<std::string> args = {"-f", "-p", std::to_string(port), "-d", line.path(), "-s", speed};
        args.insert(args.end(), extra.begin(), extra.end());
        bridge = std::make_unique<bridge_process>(args, reserve);
        ASSERT_TRUE(wait_listening(port, 20)) << "bridge did not listen";
    }

    // A client whose session has the line set up.
    std::unique_ptr<tcp_client> session()
    {
        line.cook();
        auto client = std::make_unique<tcp_client>(port);
        EXPECT_TRUE(client->ok());
        EXPECT_TRUE(line.wait_raw(20)) << "line was not set up";
        return client;
    }

    pty_line line;
    int port = 0;
    std::unique_ptr<bridge_process> bridge;
};

TEST(TeleslotCommandLine, RefusesWhatItCannotRunWith)
{
    const struct {
        std::vector<std::string> args;
        bool getopt_diagnostic;
    } cases[] = {
        {{}, false},
        {{"-d", "/dev/null", "-p", "4000"}, false},                   // no speed
        {{"-d", "/dev/null", "-p", "4000", "-s", "0"}, false},
        {{"-d", "/dev/null", "-p", "4000", "-s", "fast"}, false},     // atoi gives 0
        {{"-p", "4000", "-s", "9600"}, false},                        // no device
        {{"-d", "/dev/null", "-p", "0", "-s", "9600"}, false},
        {{"-d", "/dev/null", "-s", "9600", "-f"}, false},             // no port
        {{"-d", "/dev/null", "-p", "4000", "-s", "9600", "-x"}, true},
        {{"-d", "/dev/null", "-p", "4000", "-s"}, true},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {teleslot_path()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const run_result got = run(argv);
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(got.status, 1) << shown;
        EXPECT_EQ(got.out, usage_line) << shown;
        EXPECT_EQ(!got.err.empty(), c.getopt_diagnostic) << shown << got.err;
    }
}

TEST_F(Teleslot, SetsTheLineUpRawAt9600WhateverTheSpeedValue)
{
    termios before;
    ASSERT_EQ(tcgetattr(line.slave(), &before), 0);
    for (const char *speed : {"9600", "1", "115200", "-7"}) {
        start({}, speed);
        auto client = session();
        termios now;
        ASSERT_EQ(tcgetattr(line.slave(), &now), 0);
        EXPECT_EQ(now.c_iflag, 0u) << speed;
        EXPECT_EQ(now.c_oflag, 0u) << speed;
        EXPECT_EQ(now.c_lflag, static_cast<tcflag_t>(NOFLSH)) << speed;
        EXPECT_EQ(now.c_cflag & ~static_cast<tcflag_t>(CBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL)) << speed;
        EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B9600)) << speed;
        EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B9600)) << speed;
        EXPECT_EQ(now.c_cc[VMIN], 1) << speed;
        EXPECT_EQ(now.c_cc[VTIME], 0) << speed;
        // The other control characters stay as the device had them.
        EXPECT_EQ(now.c_cc[VINTR], before.c_cc[VINTR]) << speed;
        EXPECT_EQ(now.c_cc[VSTOP], before.c_cc[VSTOP]) << speed;
    }
}

TEST_F(Teleslot, PassesEveryByteValueBothWaysWithoutEcho)
{
    start({});
    auto client = session();
    const std::string bytes = all_byte_values();
    ASSERT_TRUE(client->send(bytes));
    EXPECT_EQ(line.receive(bytes.size()), bytes);
    ASSERT_TRUE(line.send(bytes));
    EXPECT_EQ(client->receive(bytes.size()), bytes);
    // No echo either way, and the interrupt, stop and start characters
    // raised nothing.
    EXPECT_EQ(line.drain(0.3), "");
    EXPECT_EQ(client->drain(0.3), "");
    EXPECT_TRUE(bridge->running());
}

TEST_F(Teleslot, LogsAndDumpsAsTheDebugMaskSays)
{
    for (int level : {0, 1, 2, 3}) {
        start({"-D", std::to_string(level)});
        auto first = session();
        const int first_port = first->local_port();
        const std::string connect_line = "Connect from 127.0.0.1:" + std::to_string(first_port) + "\n";
        if (level & 1) {
            // Line-buffered: the log is there while the client is still connected.
            EXPECT_TRUE(bridge->wait_output(connect_line)) << level;
        }
        ASSERT_TRUE(first->send("AT\r"));
        EXPECT_EQ(line.receive(3), "AT\r");
        ASSERT_TRUE(line.send("ok\n"));
        EXPECT_EQ(first->receive(3), "ok\n");
        first->close_now();
        // A second session proves the first has ended.
        auto second = session();
        const std::string second_line = "Connect from 127.0.0.1:" + std::to_string(second->local_port()) + "\n";

        std::string expected;
        if (level & 1)
            expected += connect_line;
        if (level & 2)
            expected += "network->port: 41 54 0d\nport->network: 6f 6b 0a\n";
        if (level & 1)
            expected += "Connection closed\n" + second_line;
        if (level & 1)
            bridge->wait_output(second_line);
        EXPECT_EQ(bridge->settle(0.3), expected) << "level " << level;
        EXPECT_EQ(bridge->err(), "");
    }
}

TEST_F(Teleslot, DumpsLargeWritesInChunksOfAtMost512)
{
    start({"-D", "2"});
    auto client = session();
    const std::string bytes = pattern(1300, 1);
    ASSERT_TRUE(client->send(bytes));
    ASSERT_EQ(line.receive(bytes.size()), bytes);

    // Every dump line has at most 512 bytes, and together they are the data.
    std::string dumped;
    size_t lines = 0;
    const std::string label = "network->port:";
    std::string out = bridge->settle(0.3);
    for (size_t start = 0; start < out.size();) {
        const size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string dump_line = out.substr(start, end - start);
        ASSERT_EQ(dump_line.compare(0, label.size(), label), 0) << dump_line;
        const size_t count = (dump_line.size() - label.size()) / 3;
        EXPECT_LE(count, 512u);
        for (size_t i = 0; i < count; ++i) {
            const std::string pair = dump_line.substr(label.size() + i * 3, 3);
            ASSERT_EQ(pair[0], ' ');
            dumped += static_cast<char>(std::stoi(pair.substr(1), nullptr, 16));
        }
        ++lines;
        start = end + 1;
    }
    EXPECT_GE(lines, 3u);
    EXPECT_EQ(dumped, bytes);
}

TEST_F(Teleslot, ServesOneClientAtATime)
{
    start({"-D", "1"});
    auto first = session();
    tcp_client second(port);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(second.send("queued"));
    // Waiting in the listen queue: nothing of the second client is relayed.
    EXPECT_EQ(line.drain(0.5), "");
    ASSERT_TRUE(first->send("first"));
    EXPECT_EQ(line.receive(5), "first");

    first->close_now();
    ASSERT_TRUE(bridge->wait_output("Connection closed\nConnect from 127.0.0.1:" +
                                    std::to_string(second.local_port()) + "\n"));
    EXPECT_EQ(line.receive(6), "queued");
}

TEST_F(Teleslot, HalfClosedClientEndsTheSession)
{
    start({"-D", "1"});
    auto client = session();
    ASSERT_TRUE(line.send("from line"));
    EXPECT_EQ(client->receive(9), "from line");
    ASSERT_TRUE(client->send("bye"));
    client->shut_down_sending();
    EXPECT_EQ(line.receive(3), "bye");
    EXPECT_TRUE(bridge->wait_output("Connection closed\n"));
    EXPECT_TRUE(client->wait_closed(10));
}

TEST_F(Teleslot, OpensAndSetsUpTheLineAfreshForEachClient)
{
    start({"-D", "1"});
    {
        auto client = session();
        EXPECT_EQ(descriptors_on(bridge->pid(), line.path()).size(), 1u);
    }
    ASSERT_TRUE(bridge->wait_output("Connection closed\n"));
    EXPECT_TRUE(descriptors_on(bridge->pid(), line.path()).empty());

    line.cook();  // someone else changed the line between clients
    termios cooked;
    ASSERT_EQ(tcgetattr(line.slave(), &cooked), 0);
    ASSERT_NE(cooked.c_lflag, static_cast<tcflag_t>(NOFLSH));
    auto again = session();  // waits until it is raw again
    ASSERT_TRUE(again->send("x"));
    EXPECT_EQ(line.receive(1), "x");
}

TEST_F(Teleslot, EndsWithTheFailingCallsLabel)
{
    scratch_dir dir;
    const std::string plain_file = dir.file("not-a-tty", "");
    const struct {
        std::string device;
        std::string err;
    } cases[] = {
        {"/nonexistent/ttyS9", "open: "s + strerror(ENOENT) + "\n"},
        {"", "open: "s + strerror(ENOENT) + "\n"},  // passes start-up, fails with the first client
        {plain_file, "tcgetattr: "s + strerror(ENOTTY) + "\n"},
    };
    for (const auto &c : cases) {
        port = free_port();
        bridge_process failing({"-f", "-p", std::to_string(port), "-d", c.device, "-s", "9600", "-D", "1"});
        ASSERT_TRUE(wait_listening(port, 20));
        tcp_client client(port);
        ASSERT_TRUE(client.ok());
        EXPECT_EQ(failing.wait_exit(20), 1) << c.device;
        EXPECT_EQ(failing.err(), c.err) << c.device;
        EXPECT_TRUE(client.wait_closed(10));
    }
}

// A socket listening on a port of its own, to be in the bridge's way.
int listen_on(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(TeleslotStartUp, ReportsATakenPortWithOrWithoutForeground)
{
    const int port = free_port();
    const int holder = listen_on(port);
    ASSERT_GE(holder, 0);
    const std::string expected = "bind: "s + strerror(EADDRINUSE) + "\n";
    for (bool foreground : {true, false}) {
        std::vector<std::string> argv = {teleslot_path(), "-p", std::to_string(port), "-d", "/dev/null", "-s", "9600"};
        if (foreground)
            argv.push_back("-f");
        // Without -f too the invoker sees the failure, since the port is
        // taken before detaching.
        const run_result got = run(argv);
        EXPECT_EQ(got.status, 1) << foreground;
        EXPECT_EQ(got.err, expected) << foreground;
        EXPECT_EQ(got.out, "") << foreground;
    }
    close(holder);
}

TEST(TeleslotStartUp, TakesThePortModulo65536AndRebindsAtOnceAfterARestart)
{
    pty_line line;
    const int port = free_port();
    const std::vector<std::string> args = {"-f", "-p", std::to_string(port + 65536), "-d", line.path(), "-s", "9600"};
    auto bridge = std::make_unique<bridge_process>(args);
    ASSERT_TRUE(wait_listening(port, 20));
    {
        // Killed while a client is connected: the connection lingers in the
        // kernel, and the restarted bridge must still get the port.
        tcp_client client(port);
        ASSERT_TRUE(client.ok());
        ASSERT_TRUE(line.wait_raw(20));
        bridge.reset();
        EXPECT_TRUE(client.wait_closed(10));
    }
    bridge = std::make_unique<bridge_process>(args);
    EXPECT_TRUE(wait_listening(port, 20));
    EXPECT_TRUE(bridge->running()) << bridge->err();
}

// Ends a process that is not our child (a daemon) by pid, within a bound.
struct daemon_guard {
    pid_t pid = -1;
    ~daemon_guard()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGKILL);
        for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
};

TEST(TeleslotDaemon, DetachesServesAndPrintsNothing)
{
    pty_line line;
    const int port = free_port();
    const std::string port_text = std::to_string(port);
    const run_result invoker = run({teleslot_path(), "-p", port_text, "-d", line.path(), "-s", "9600", "-D", "3"});
    EXPECT_EQ(invoker.status, 0);
    EXPECT_EQ(invoker.out, "");
    EXPECT_EQ(invoker.err, "");
    ASSERT_TRUE(wait_listening(port, 20));

    daemon_guard guard;
    const std::vector<pid_t> found = processes_with({"-p", port_text, line.path()});
    ASSERT_EQ(found.size(), 1u);
    guard.pid = found[0];
    const std::string proc = "/proc/" + std::to_string(guard.pid);
    EXPECT_EQ(link_of(proc + "/cwd"), "/");
    for (int fd : {0, 1, 2})
        EXPECT_EQ(link_of(proc + "/fd/" + std::to_string(fd)), "/dev/null") << fd;
    // In a session of its own, and not its leader: it can never gain a
    // controlling terminal by opening the line.
    EXPECT_NE(getsid(guard.pid), getsid(0));
    EXPECT_NE(getsid(guard.pid), guard.pid);

    tcp_client client(port);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(line.wait_raw(20));
    ASSERT_TRUE(client.send("to line"));
    EXPECT_EQ(line.receive(7), "to line");
    ASSERT_TRUE(line.send("to client"));
    EXPECT_EQ(client.receive(9), "to client");
}

// A client far faster than the line: the line's queue fills, the bridge
// waits for room instead of dropping bytes or dying.
TEST_F(Teleslot, LosesNoByteTowardASlowLine)
{
    start({});
    auto client = session();
    const std::string bytes = pattern(256 * 1024, 2);
    bool sent = false;
    std::thread sender([&] { sent = client->send(bytes, 60); });
    // Nobody reads the line for a while: its queue is full long before the
    // client is done.
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(500 * time_scale())));
    const std::string arrived = line.receive(bytes.size(), 60);
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(arrived.size(), bytes.size());
    EXPECT_TRUE(arrived == bytes) << "bytes lost or reordered";
    EXPECT_TRUE(bridge->running());
}

// Clients that go away while the line is sending to them end their own
// session, never the bridge. A plain reset fails the waiting send with
// "connection reset"; a client that first ends its sending side and then
// closes with data unread fails it with a broken pipe, the case that would
// raise SIGPIPE.
TEST_F(Teleslot, SurvivesClientsThatGoAwayWhileTheLineSends)
{
    start({"-D", "1"});
    for (int round = 0; round < 10; ++round) {
        const bool by_reset = round % 2 == 0;
        auto client = session();
        const int small = 4096;
        setsockopt(client->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        std::atomic<bool> stop{false};
        std::thread talker([&] {
            const std::string bytes = pattern(16 * 1024, 3);
            while (!stop)
                line.send(bytes, 0.2);
        });
        EXPECT_FALSE(client->receive(1).empty());
        // The client reads no more: once the socket's buffers are full the
        // bridge waits in a send.
        EXPECT_TRUE(wait_blocked_in_send(bridge->pid(), 30)) << "round " << round;
        // The reset right behind the end of file reaches the bridge while
        // it still waits in its send.
        if (!by_reset)
            client->shut_down_sending();
        client->reset();
        const bool ended = bridge->wait_output_times("Connection closed\n", static_cast<size_t>(round) + 1, 20);
        stop = true;
        talker.join();
        ASSERT_TRUE(ended) << "round " << round << (by_reset ? " (reset)" : " (close)");
        ASSERT_TRUE(bridge->running()) << "round " << round;
        line.drain(0.1);
    }
    auto last = session();
    ASSERT_TRUE(last->send("still here"));
    EXPECT_EQ(line.receive(10), "still here");
}

TEST_F(Teleslot, NeverSpinsOnAnIdleSessionOrAHungUpLine)
{
    start({"-D", "1"});
    auto client = session();
    const double quiet = 1.0 * time_scale();

    double before = cpu_seconds(bridge->pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(quiet * 1000)));
    EXPECT_LT(cpu_seconds(bridge->pid()) - before, 0.1 * time_scale()) << "idle session";

    line.hang_up();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    before = cpu_seconds(bridge->pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(quiet * 1000)));
    EXPECT_LT(cpu_seconds(bridge->pid()) - before, 0.1 * time_scale()) << "hung-up line";

    // Only the client ends the session; the bridge goes back to accepting.
    client->close_now();
    EXPECT_TRUE(bridge->wait_output("Connection closed\n"));
    EXPECT_TRUE(bridge->running());
}

TEST_F(Teleslot, RelaysOnDescriptorsAbove1024)
{
    start({}, "9600", 1100);
    auto client = session();
    const std::vector<int> serial = descriptors_on(bridge->pid(), line.path());
    ASSERT_EQ(serial.size(), 1u);
    EXPECT_GE(serial[0], 1024);
    ASSERT_TRUE(client->send("high"));
    EXPECT_EQ(line.receive(4), "high");
    ASSERT_TRUE(line.send("up"));
    EXPECT_EQ(client->receive(2), "up");
}

}  // namespace
