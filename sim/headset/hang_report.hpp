// SPDX-License-Identifier: MIT
// A test that hangs in the virtual headset (a FUSE request nobody answers, a wait for a
// line that never comes) would otherwise only be killed by CTest's timeout, which says
// nothing about where it stood. This watch reports every thread's kernel wait first.
#pragma once

#include <chrono>

namespace vh {

// Watches each GoogleTest test of this process: one that runs longer than `limit` gets a
// report on stderr (the test's name, then each thread's state, kernel wait channel, system
// call and kernel stack from /proc), and so does a process that has not exited a minute
// after its last test. The process goes on: CTest's timeout, set above `limit`, ends it
// and runs the test once more. Call once from main, after the sandbox is entered and
// before RUN_ALL_TESTS.
void report_hung_tests_after(std::chrono::seconds limit);

} // namespace vh
