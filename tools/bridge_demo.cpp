// bridge_demo TELESLOT
// Shows the bridge at work: a pseudo-terminal plays the serial line, the
// bridge runs in the foreground with the connection log and the hex dump on,
// and a client on 127.0.0.1 talks to the line through it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge_harness.h"

using namespace testsupport;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: bridge_demo TELESLOT\n", stderr);
        return 2;
    }
    setenv("TELESLOT", argv[1], 1);
    pty_line line;
    if (!line.ok()) {
        fputs("bridge_demo: no pseudo-terminal\n", stderr);
        return 1;
    }
    const int port = free_port();
    printf("$ teleslot -f -D 3 -p %d -d %s -s 9600\n", port, line.path().c_str());
    bridge_process bridge({"-f", "-D", "3", "-p", std::to_string(port), "-d", line.path(), "-s", "9600"});
    bool ok = wait_listening(port, 10);
    {
        tcp_client client(port);
        ok = ok && client.ok() && line.wait_raw(10);
        ok = ok && client.send("AT\r") && line.receive(3) == "AT\r";
        puts("client sent \"AT\\r\", the line received it");
        ok = ok && line.send("OK\r\n") && client.receive(4) == "OK\r\n";
        puts("the line answered \"OK\\r\\n\", the client received it");
    }
    ok = ok && bridge.wait_output("Connection closed\n");
    puts("bridge's standard output:");
    fputs(bridge.out().c_str(), stdout);
    if (!ok) {
        fprintf(stderr, "bridge_demo: the exchange failed\n%s", bridge.err().c_str());
        return 1;
    }
    return 0;
}
