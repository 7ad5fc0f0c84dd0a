#include "relay.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t chunk_size = 512;

// Closes the serial descriptor on every way out of the session.
class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void dump(const char *label, const unsigned char *bytes, size_t count)
{
    if (!(debug_level & 2))
        return;
    fputs(label, stdout);
    for (size_t i = 0; i < count; ++i)
        printf(" %02x", bytes[i]);
    putchar('\n');
}

// Raw 8-bit line at 9600 baud: the flag words are assigned whole so that
// nothing the device had before (echo, translation, flow control) survives.
bool set_up_line(int fd)
{
    termios line;
    if (tcgetattr(fd, &line) != 0) {
        perror("tcgetattr");
        exit(1);
    }
    line.c_lflag = NOFLSH;
    line.c_iflag = 0;
    line.c_oflag = 0;
    line.c_cflag = CS8 | CREAD | CLOCAL;
    // After the flag words: Linux keeps the speed in c_cflag.
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSAFLUSH, &line) == 0;
}

// The whole chunk to the client, or false once the client is gone. The
// socket blocks, so this waits while the client is slow to read; a reset or
// closed client must end the session only, never raise SIGPIPE.
bool send_to_client(int client, const unsigned char *bytes, size_t count)
{
    while (count > 0) {
        const ssize_t sent = send(client, bytes, count, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

// Bytes from the client that the line's output queue had no room for yet.
struct line_backlog {
    unsigned char bytes[chunk_size];
    size_t start = 0;
    size_t end = 0;
    bool empty() const { return start == end; }
};

// Writes what the serial device takes now and keeps the rest for when it
// has room. A full queue is no failure; any other write error ends the
// process, as the line itself has failed.
void write_to_line(int serial, line_backlog &backlog)
{
    const ssize_t written = write(serial, backlog.bytes + backlog.start, backlog.end - backlog.start);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        exit(1);
    }
    backlog.start += static_cast<size_t>(written);
}

void relay(int serial, int client)
{
    unsigned char buffer[chunk_size];
    line_backlog backlog;
    // A hung-up line reads as end of file or an error for ever after; it is
    // then no longer waited on, so that the session does not spin.
    bool line_readable = true;

    for (;;) {
        // poll rather than select: descriptor numbers have no fixed ceiling.
        // While bytes for the line are waiting, the client is not read: TCP
        // then slows a client that sends faster than the line carries.
        pollfd watched[2];
        watched[0].fd = line_readable || !backlog.empty() ? serial : -1;
        watched[0].events = static_cast<short>((line_readable ? POLLIN : 0) | (backlog.empty() ? 0 : POLLOUT));
        watched[1].fd = backlog.empty() ? client : -1;
        watched[1].events = POLLIN;
        watched[0].revents = watched[1].revents = 0;
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            exit(1);
        }

        // The line first: what it sent reaches the client even when the
        // client's end of file arrives in the same turn.
        if (line_readable && (watched[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t count = read(serial, buffer, sizeof buffer);
            if (count > 0) {
                dump("port->network:", buffer, static_cast<size_t>(count));
                if (!send_to_client(client, buffer, static_cast<size_t>(count)))
                    return;
            } else if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                line_readable = false;
            }
        }
        if (!backlog.empty() && (watched[0].revents & (POLLOUT | POLLHUP | POLLERR)))
            write_to_line(serial, backlog);

        if (watched[1].revents != 0) {
            const ssize_t count = read(client, backlog.bytes, sizeof backlog.bytes);
            if (count <= 0)
                return;  // the client has closed or reset the connection
            dump("network->port:", backlog.bytes, static_cast<size_t>(count));
            backlog.start = 0;
            backlog.end = static_cast<size_t>(count);
            write_to_line(serial, backlog);
        }
    }
}

}  // namespace

void relay_session(int client, const char *device, int speed)
{
    (void)speed;
    const fd_guard serial(open(device, O_RDWR | O_NONBLOCK));
    if (serial.get() < 0) {
        perror("open");
        exit(1);
    }
    // Settings that cannot be applied end this client's session at once,
    // before a byte is relayed; the bridge goes on accepting.
    if (!set_up_line(serial.get()))
        return;
    relay(serial.get(), client);
}
