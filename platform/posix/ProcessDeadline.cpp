#include "platform/ProcessDeadline.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {
namespace {
void OnDeadline(int) { _exit(0); }
}  // namespace

void SetProcessDeadline(double seconds) {
    static bool installed = false;
    if (!installed) {
        struct sigaction action {};
        action.sa_handler = OnDeadline;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, nullptr);
        installed = true;
    }
    itimerval timer{};
    if (seconds > 0) {
        timer.it_value.tv_sec = static_cast<time_t>(seconds);
        timer.it_value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(timer.it_value.tv_sec)) * 1e6);
        if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0) timer.it_value.tv_usec = 1;
    }
    setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace platform
