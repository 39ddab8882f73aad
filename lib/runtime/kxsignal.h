// Process signals taken on an ordinary thread.
//
// A signal handler may not lock, allocate or log; a daemon that must tear
// down its runtime on SIGTERM therefore blocks the signals and lets one
// waiting thread receive them: the handler then runs on that thread, like
// any other code. kxlog's "failed write" SIGTERM arrives the same way.
#pragma once

// Blocks the given signals in the calling thread (and so in every thread it
// starts afterwards) and starts a thread that waits for them and calls
// handler(sig) for each one received. Call it before any other thread
// starts, so that no thread is left where a signal could still be delivered
// the classic way. 0 ok; 1 when already started, for bad arguments or when
// the thread cannot be created.
int kxsignal_start(const int *signals, int count, void (*handler)(int sig));

// Stops the waiting thread and returns once it has ended (the signals stay
// blocked). Does nothing when not started. Not from inside the handler.
void kxsignal_stop();
