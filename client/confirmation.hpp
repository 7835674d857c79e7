// SPDX-License-Identifier: MIT
// Whether charged has taken a choice written to its control files.
//
// charged is not woken by the control files: in every update cycle it opens and reads each
// of them (while the headstrap is present), prints its report and then rewrites its status
// files, ac_status first. So, watching the directory with inotify from before the writes:
// once the writes are done, a cycle that opens every control file and then renames
// ac_status into place has read the new content. A cycle may be under way while the files
// are written; its opens came before, so it does not count, and the next cycle decides.
// Two whole cycles that open no control file at all mean that charged does not read them:
// it found no headstrap.
//
// The rule sees opens, not who opened: another program reading all four control files in
// the instant between charged's own reads and its status files could make a cycle count
// that read the old content. The verdict is then one cycle early; the files are read back
// after it anyway.
#pragma once

#include "command_line.hpp"
#include "control_files.hpp"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace chargectl {

enum class verdict { waiting, confirmed, ignored };

class confirmation_rule {
  public:
    // The control files that exist as regular files: charged opens exactly these.
    explicit confirmation_rule(std::vector<std::string> files_read_by_charged);

    // One event of the directory, in the order inotify delivered them.
    verdict opened(std::string_view name);
    verdict renamed_into_place(std::string_view name);
    // The event queue overflowed: what was seen of the current cycle is no longer known.
    void events_lost();

    verdict current() const { return verdict_; }
    int cycles_seen() const { return cycles_; }

  private:
    void start_cycle();

    std::vector<std::string> expected_;
    std::vector<bool> opened_;
    bool opened_any_ = false;
    int quiet_cycles_ = 0;
    int cycles_ = 0;
    verdict verdict_ = verdict::waiting;
};

// Writes the choice and waits for charged. Prints what happened; returns the exit status.
int apply_choice(const options &chosen);

} // namespace chargectl
