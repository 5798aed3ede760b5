// The library's flusher thread: sends put batches that have waited longer
// than about a millisecond, so a writer that pauses is never left with
// packets sitting in its buffer. Started on first use; stopped at exit.
#pragma once

namespace tarnclient {

// Wakes the flusher: some descriptor holds unsent puts.
void notifyFlusher();

}  // namespace tarnclient
