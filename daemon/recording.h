// recording.h - bbu-i2cd --record: the daemon records its own conversation
// on the adapter, as bbusim --record records a program's.
#ifndef BBU_I2CD_RECORDING_H
#define BBU_I2CD_RECORDING_H

// Opens the recording `path` (a regular file created 0600, or emptied; never
// a symbolic link, a FIFO or a directory) and runs the daemon again, once, in
// this very process, with the recorder library preloaded first and `argv`
// less the --record option, which it took from argv[first] to argv[end - 1].
// Returns (exit status 1) only when that cannot be done, after a message.
int record_self(char **argv, int first, int end, const char *path);

#endif  // BBU_I2CD_RECORDING_H
