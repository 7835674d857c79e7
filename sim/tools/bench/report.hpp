// SPDX-License-Identifier: MIT
// The two uses of the measurements: the full table for people, the budgets for CI.
#pragma once

#include <string>

namespace bench {

// Measures everything, prints the table and, when markdown is not empty, writes it there
// with the machine, the date and the command. Returns the exit status.
int run_report(const std::string &markdown);

// Measures the budgeted figures and compares them with the budgets file. Prints every
// figure next to its budget; returns 1 when any figure is over its budget.
int run_check(const std::string &budgets_file);

// One measurement alone, printed raw: what is syscalls, callgrind, memory, latency or
// wakeups; state is idle or usb.
int run_one(const std::string &what, const std::string &state);

} // namespace bench
