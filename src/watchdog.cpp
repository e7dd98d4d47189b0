#include "watchdog.h"

#include <ctime>

#ifdef TAMO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

int64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + static_cast<int64_t>(ts.tv_nsec) / 1000;
}

} // namespace

cWatchdog::cWatchdog() : mIntervalUs(0), mNextPingUs(0) {
#ifdef TAMO_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        mIntervalUs = usec;
    }
#endif
}

void cWatchdog::ready() {
#ifdef TAMO_HAVE_SYSTEMD
    sd_notify(0, "READY=1");
#endif
    kick();
}

void cWatchdog::kick() {
    if (mIntervalUs == 0) {
        return;
    }
    int64_t now = now_us();
    if (now < mNextPingUs) {
        return;
    }
#ifdef TAMO_HAVE_SYSTEMD
    sd_notify(0, "WATCHDOG=1");
#endif
    mNextPingUs = now + static_cast<int64_t>(mIntervalUs / 4);
}
