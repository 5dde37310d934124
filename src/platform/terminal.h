// Whether output goes to a terminal, and how wide it is.

#ifndef TIDEWELL_PLATFORM_TERMINAL_H_
#define TIDEWELL_PLATFORM_TERMINAL_H_

namespace tidewell {

// True when `fd` is a terminal.
bool IsTerminal(int fd);

// Columns of the terminal on `fd`, or `fallback` when it is none or does
// not say.
int TerminalWidth(int fd, int fallback = 80);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_TERMINAL_H_
