#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace tidewell {

bool IsTerminal(int fd) { return isatty(fd) == 1; }

int TerminalWidth(int fd, int fallback) {
  winsize ws{};
  if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return fallback;
  return ws.ws_col;
}

}  // namespace tidewell
