#include "app/ready_message.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <memory>

namespace vt {

bool WatchReadable(HWindow window, int fd, std::uint32_t message) {
  if (WatchDescriptor(window, fd, EPOLLIN, std::make_shared<TReadyMessage>(window, message)) == 0)
    return true;
  ::close(fd);
  return false;
}

void EndWatch(int& fd) {
  if (fd < 0) return;
  UnwatchDescriptor(fd);
  ::close(fd);
  fd = -1;
}

}  // namespace vt
