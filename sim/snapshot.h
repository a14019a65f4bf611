// snapshot.h - the world as a power cut or a host crash would leave it, saved
// at each message and pause of a run without faults.
//
// A sweep that cuts a long run at each of its points would otherwise replay
// the run's prefix once per point. With BBUSIM_SNAPSHOT_DIR naming a
// directory, the process counts its messages and pauses as the power-cut and
// crash faults count them (`any skip K`, `sleep skip K`), and at each one
// whose file the directory already holds (KIND.any.K or KIND.sleep.K, KIND
// `power-cut` or `crash`; an empty file asks for it) it writes the world as
// that fault would have left it: a world file that `bbusim --keep` takes as
// the root's last world. The run itself goes on untouched.
#ifndef BBUSIM_SNAPSHOT_H
#define BBUSIM_SNAPSHOT_H

#include <cstdint>

#include "world.h"

namespace bbusim {

constexpr const char *kEnvSnapshotDir = "BBUSIM_SNAPSHOT_DIR";

// A message is about to reach its device (the caller holds the lock).
void snapshot_before_message(const World &w);
// A pause of `us` is about to pass (the caller holds the lock).
void snapshot_before_pause(const World &w, std::uint64_t us);

}  // namespace bbusim

#endif  // BBUSIM_SNAPSHOT_H
