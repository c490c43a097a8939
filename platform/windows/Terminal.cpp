#include "platform/Terminal.h"

#include <io.h>
#include <stdio.h>

#include "platform/windows/Win32.h"

namespace platform {

bool ErrorOutputIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}

}  // namespace platform
