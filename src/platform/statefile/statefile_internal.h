// Between the parts of the state-file library: the signal handling calls
// the registered save before it ends the process at once.
#pragma once

// `save` runs on the watchdog thread just before a forced exit; it must
// finish in bounded time. NULL: nothing to save.
void statefile_set_forced_exit_save(void (*save)(void));
