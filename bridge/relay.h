// One client's session on the serial line.
#pragma once

// Debug mask, set from the command line: bit 0 logs connections, bit 1
// dumps relayed bytes in hex. 0 in a detached bridge.
extern int debug_level;

// Opens the serial device, sets the line up raw at 9600 baud 8N1, and copies
// bytes both ways until the client ends the connection, or until writing to
// the client fails. The client socket stays open for the caller to close;
// the serial device is closed on return. The speed value is accepted for the
// command line's sake only: the line always runs at 9600 baud.
void relay_session(int client, const char *device, int speed);
