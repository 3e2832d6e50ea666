#include "systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace varpage::fastcgi {
namespace {

int notify_socket = -1;
sockaddr_un notify_address{};
socklen_t notify_address_size = 0;

}  // namespace

void start_systemd_notify() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return;
  const std::size_t length = std::strlen(name);
  // A path, or '@' for a name in the abstract namespace, which starts with a
  // zero byte instead.
  if (length < 2 || length >= sizeof notify_address.sun_path || (name[0] != '/' && name[0] != '@'))
    return;
  notify_address.sun_family = AF_UNIX;
  std::memcpy(notify_address.sun_path, name, length);
  if (name[0] == '@') notify_address.sun_path[0] = '\0';
  notify_address_size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  notify_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

void notify_systemd(const char* message) {
  if (notify_socket < 0) return;
  // systemd reads the datagram whenever it gets round to it; a full queue
  // loses this message, and the next status says the same and more.
  ::sendto(notify_socket, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&notify_address), notify_address_size);
}

}  // namespace varpage::fastcgi
