// The custody of queued commands through what the kernel's queue does not
// outlive: a reboot, and the queue's re-creation (a new sender group, a
// squatted key). One store keeps them: the saved-commands file
// (saved_file.h), root's alone, replaced whole. Each move of commands is
// written there before the queue changes, so that a stop, kill or crash at
// any step loses none, serves none twice and keeps their order:
//
// - a stop saves what waits (ctl_save.cpp); the next start after a reboot
//   puts it onto the new queue first, while its mode is still 0; a start in
//   the same boot discards the copy, as the queue still holds them;
// - a queue made anew is first closed (mode 0: nobody but root may send), its
//   messages copied into the file behind those not yet put back
//   ("replacing"), then removed; the new queue, created exclusively with mode
//   0, is named in the file ("restoring") and takes them in their order; only
//   then does it get its permissions, and the file goes.
//
// A queue of mode 0 is one that prepare has not set up: no daemon may take
// from it, so what waits there has never been served, and a prepare that
// dies part way resumes from what it holds.
#pragma once

#include <sys/msg.h>

#include <optional>
#include <string>

#include "queue_ops.h"
#include "saved_file.h"

struct custody {
    // The file, when it holds commands still to go onto the queue.
    std::optional<saved_commands> file;
    std::string boot_id;
    // The file was written in this boot: the queue ids in it mean something.
    bool this_boot = false;
    // A file is there that is refused or damaged: it stays as it is, and
    // nothing may replace it.
    bool blocked = false;
    // What to tell at the end: how the commands in the file came there, how
    // many of them, and what this run moved from a queue it made anew.
    custody_state loaded_state = custody_state::saved;
    std::string loaded_time;
    std::size_t loaded = 0;
    int moved_from = -1;
    std::size_t moved = 0;
};

// prepare, first, as root: what the file holds that is still to go onto the
// queue. A copy saved at a stop in this boot is discarded: the queue still
// holds those commands, or went since with them on purpose.
int load_custody(custody& c);

// The file says that its commands were going onto queue id, in this boot.
bool restoring_onto(const custody& c, int id);

// Makes queue id anew, its messages kept behind those of the file: closed,
// copied into the file, removed, and the new one created exclusively into
// created (-1 when someone else took the key in between: the caller looks
// again).
int replace_queue(custody& c, int id, const msqid_ds& info, const queue_target& t, int& created);

// Puts the commands of the file onto queue id, which prepare created (mode
// 0) and which may hold the first of them already, then, when set_up, gives
// it its permissions; the file goes last. A queue that the file names and
// that has its permissions has them all already.
int restore_onto(custody& c, int id, const queue_target& t, bool set_up = true);
