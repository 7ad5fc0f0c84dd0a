// teleslot under load and misbehaving peers, each case bounded in time:
// many clients in a row, megabytes each way, a flood against a slow line,
// and a silent client holding the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "bridge_harness.h"
#include "process.h"

using namespace testsupport;

namespace {

// FNV-1a, to compare megabytes without printing them.
uint64_t digest(const std::string &bytes)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

class TeleslotStress : public testing::Test {
protected:
    void SetUp() override
    {
        port = free_port();
        bridge = std::make_unique<bridge_process>(std::vector<std::string>{
            "-f", "-D", "1", "-p", std::to_string(port), "-d", line.path(), "-s", "9600"});
        ASSERT_TRUE(wait_listening(port, 20));
    }

    std::unique_ptr<tcp_client> session()
    {
        line.cook();
        auto client = std::make_unique<tcp_client>(port);
        EXPECT_TRUE(client->ok());
        EXPECT_TRUE(line.wait_raw(20));
        return client;
    }

    pty_line line;
    int port = 0;
    std::unique_ptr<bridge_process> bridge;
};

TEST_F(TeleslotStress, ServesTwoHundredClientsInARowWithoutLeakingDescriptors)
{
    const int before = open_descriptors(bridge->pid());
    ASSERT_GT(before, 0);
    for (int i = 0; i < 200; ++i) {
        auto client = session();
        const std::string ping = "ping " + std::to_string(i);
        ASSERT_TRUE(client->send(ping)) << i;
        ASSERT_EQ(line.receive(ping.size()), ping) << i;
        ASSERT_TRUE(line.send("pong")) << i;
        ASSERT_EQ(client->receive(4), "pong") << i;
    }
    ASSERT_TRUE(bridge->wait_output_times("Connection closed\n", 200, 20));
    EXPECT_EQ(open_descriptors(bridge->pid()), before);
}

TEST_F(TeleslotStress, CarriesEightMebibytesEachWayInOneSession)
{
    auto client = session();
    const std::string up = pattern(8 << 20, 11), down = pattern(8 << 20, 12);
    const double limit = 120;
    std::string at_line, at_client;
    bool sent_up = false, sent_down = false;
    std::thread client_sender([&] { sent_up = client->send(up, limit); });
    std::thread line_sender([&] { sent_down = line.send(down, limit); });
    std::thread line_reader([&] { at_line = line.receive(up.size(), limit); });
    at_client = client->receive(down.size(), limit);
    client_sender.join();
    line_sender.join();
    line_reader.join();
    EXPECT_TRUE(sent_up && sent_down);
    EXPECT_EQ(at_line.size(), up.size());
    EXPECT_EQ(digest(at_line), digest(up)) << "client to line: bytes lost or reordered";
    EXPECT_EQ(at_client.size(), down.size());
    EXPECT_EQ(digest(at_client), digest(down)) << "line to client: bytes lost or reordered";
    EXPECT_TRUE(bridge->running());
}

TEST_F(TeleslotStress, FloodAgainstASlowLineLosesNothing)
{
    auto client = session();
    const std::string flood = pattern(1 << 20, 13);
    bool sent = false;
    std::thread sender([&] { sent = client->send(flood, 120); });
    // The line takes 4 KiB at a time with pauses, far below what the client offers.
    std::string arrived;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<int>(120 * time_scale()));
    while (arrived.size() < flood.size() && std::chrono::steady_clock::now() < give_up) {
        arrived += line.receive(std::min<size_t>(4096, flood.size() - arrived.size()), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(arrived.size(), flood.size());
    EXPECT_EQ(digest(arrived), digest(flood));
    EXPECT_TRUE(bridge->running());
}

TEST_F(TeleslotStress, ASilentClientHoldsTheQueueUntilItLeaves)
{
    auto silent = session();
    tcp_client second(port), third(port);
    ASSERT_TRUE(second.ok() && third.ok());
    ASSERT_TRUE(second.send("second"));
    ASSERT_TRUE(third.send("third"));
    EXPECT_EQ(line.drain(0.5), "");  // both wait in the listen queue

    silent->close_now();
    EXPECT_EQ(line.receive(6), "second");
    second.close_now();
    EXPECT_EQ(line.receive(5), "third");
    ASSERT_TRUE(bridge->wait_output_times("Connection closed\n", 2));
}

}  // namespace
