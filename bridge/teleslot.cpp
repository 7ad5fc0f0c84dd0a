// teleslot: make a serial line reachable over TCP, one client at a time.
//
// Usage: teleslot -p port -d device -s speed [-f] [-D level]
//   -p  TCP port, on every local IPv4 address
//   -d  serial device, opened afresh for each client
//   -s  speed value; must be non-zero, the line always runs at 9600 baud
//   -f  stay in the foreground (otherwise detach as a daemon)
//   -D  debug mask in the foreground: 1 logs connections, 2 dumps traffic

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay.h"

int debug_level = 0;

namespace {

int foreground = 0;

[[noreturn]] void usage()
{
    puts("Usage: teleslot -p port -d device -s speed");
    exit(1);
}

// Puts the standard descriptor `target` on /dev/null, opened with flags.
void to_dev_null(int target, int flags)
{
    const int fd = open("/dev/null", flags);
    if (fd != target) {
        dup2(fd, target);
        close(fd);
    }
}

// Double fork: the invoker gets its status at once, and the daemon, not
// being a session leader, never gains a controlling terminal.
void daemonize()
{
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        exit(1);
    }
    if (pid != 0)
        _exit(0);
    if (setsid() < 0) {
        perror("setsid");
        exit(1);
    }
    pid = fork();
    if (pid == -1) {
        perror("fork");
        exit(1);
    }
    if (pid != 0)
        _exit(0);
    if (chdir("/") != 0) {
        // Staying where it was started does no harm.
    }
    to_dev_null(0, O_RDONLY);
    to_dev_null(1, O_WRONLY);
    to_dev_null(2, O_WRONLY);
}

int open_listener(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }
    // A restart must not wait for the last connection's TIME_WAIT to pass.
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        perror("setsockopt");
        exit(1);
    }
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("bind");
        exit(1);
    }
    if (listen(fd, 5) < 0) {
        perror("bind");
        exit(1);
    }
    return fd;
}

// Errors that a client's own connection can make accept report: they end
// nothing but that connection.
bool client_went_away(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *device = nullptr;
    int port = 0;
    int speed = 0;
    int opt;
    while ((opt = getopt(argc, argv, "d:D:fp:s:")) != -1) {
        switch (opt) {
        case 'd': device = optarg; break;
        case 'D': debug_level = atoi(optarg); break;
        case 'f': foreground = 1; break;
        case 'p': port = atoi(optarg); break;
        case 's': speed = atoi(optarg); break;
        default: usage();
        }
    }
    if (device == nullptr || port == 0 || speed == 0)
        usage();

    // The port is taken before detaching, so that a port in use is reported
    // to the invoker with status 1 rather than lost behind a status of 0.
    const int listener = open_listener(port);
    if (foreground) {
        // The log and the dump appear line by line even through a pipe, and
        // nothing is lost when the bridge is killed, its usual way to stop.
        setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        daemonize();
        debug_level = 0;
    }

    for (;;) {
        sockaddr_in peer;
        socklen_t peer_length = sizeof peer;
        const int client = accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_length);
        if (client < 0) {
            if (client_went_away(errno))
                continue;
            perror("accept");
            exit(1);
        }
        if (debug_level & 1)
            printf("Connect from %s:%d\n", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
        relay_session(client, device, speed);
        if (debug_level & 1)
            printf("Connection closed\n");
        close(client);
    }
}
