// Tells systemd how the service is doing, when it asks to be told (a unit of
// Type=notify sets NOTIFY_SOCKET): READY=1 once requests can be served,
// STATUS= lines for `systemctl status`, STOPPING=1 when a stop begins. One
// datagram a message; no library. POSIX only.
#pragma once

namespace varpage::fastcgi {

// Opens a datagram socket for NOTIFY_SOCKET, a path or an abstract name
// beginning with '@'. Without it (or with one that cannot be used) every
// notify_systemd call does nothing.
void start_systemd_notify();

// Sends `message` ("READY=1\nSTATUS=...") as one datagram, without waiting.
void notify_systemd(const char* message);

}  // namespace varpage::fastcgi
