// The terminal a command was started from.
#pragma once

namespace platform {

// True when standard error is a terminal (a person watches it).
bool ErrorOutputIsTerminal();
// The terminal's width in columns, or 80 when it cannot be told.
int TerminalColumns();

}  // namespace platform
