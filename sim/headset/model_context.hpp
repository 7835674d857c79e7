// SPDX-License-Identifier: MIT
// What every driver model of the headset works with: the tree, the event sender, the
// configuration, the one lock that serialises the models (story calls, the daemon's writes on
// FUSE threads, timers) and the timer thread.
#pragma once

#include "device_layout.hpp"
#include "headset.hpp"
#include "scheduler.hpp"

#include <mutex>

namespace vh {

struct ModelContext {
    FakeSysfs &fs;
    UeventInjector &events;
    const HeadsetConfig &config;
    DeviceTree &tree;
    std::recursive_mutex &mutex;
    Scheduler &scheduler;
};

} // namespace vh
