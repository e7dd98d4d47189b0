// cWatchdog: tells a service manager that the daemon is up and that its receive loop still
// turns.
//
// Under systemd with WatchdogSec= (WATCHDOG_USEC in the environment) the daemon says READY=1
// once it listens and WATCHDOG=1 from the receive loop, at most every quarter of the interval.
// The loop wakes at least that often (pollInterval), so an idle daemon keeps pinging while a
// daemon stuck in a script stops and is restarted. Without a watchdog, or in a build without
// libsystemd, every operation does nothing. Main thread only.
#pragma once

#include <cstdint>

class cWatchdog {
public:
    // Reads the watchdog interval from the environment.
    cWatchdog();

    // READY=1, once the broker socket is bound.
    void ready();
    // WATCHDOG=1 when a quarter of the interval has passed since the last ping. Call on every
    // pass of the receive loop; costs a clock read otherwise.
    void kick();
    // How long a receive may block before the loop must kick, in microseconds; 0 without a
    // watchdog (block for ever).
    uint64_t pollInterval() const { return mIntervalUs / 4; }

private:
    uint64_t mIntervalUs;
    int64_t mNextPingUs;
};
