/*
 * The state-file library: the read positions that survive a restart, and
 * the signal handling of a program that stops on request.
 *
 * Read positions: exhume reads the statefile once at start-up (and sets up
 * the signals as setup_signals does); each reader then calls tarnresurrect
 * with its descriptor and its ReadPosition, which puts the descriptor where
 * the reader last saved and registers the position; bury writes every
 * registered position (and every saved one no reader claimed in this run) to
 * the statefile, whole: a temporary file, then a rename. A position covers
 * only the packets the reader is done with (read_position.h), so a restart
 * may read some packets again but skips none the server still holds.
 *
 * A position belongs to one reader, found again by its server's address
 * (however the tarn name is written), its select and reject expressions and
 * the reader's own name. Positions from a statefile of the first format,
 * which named readers by the tarn name as written and their tag, are found
 * by the address the name resolves to. The format is described in
 * docs/statefile.md.
 *
 * A statefile that is empty, cut short or not a statefile is reported with
 * elog_log and the program goes on as if there were none. A save that fails
 * is reported once, when saving starts to fail, and once more when it works
 * again.
 *
 * setup_signals installs handlers for SIGHUP, SIGINT, SIGQUIT and SIGTERM.
 * The first of these signals sets the program's stop flag to 1 and the
 * program shuts down in order, polling the flag. The shutdown is bounded: a
 * second termination signal, or the grace period running out after the
 * first, ends the process at once with exit status 255, saying why on
 * standard error:
 *   "Second termination signal received: exiting now"
 *   "Shutdown grace period of N seconds expired: exiting now"
 * A small watchdog thread, started by the first call and waiting with the
 * four signals blocked, does that ending; the handlers themselves only set
 * the flag and wake it, so they stay async-signal-safe. Should the watchdog
 * itself be stuck, a third signal ends the process from the handler.
 *
 * A handler runs in whichever thread has the signals unblocked: the program
 * keeps them blocked in every thread but the one meant to receive them.
 *
 * Thread-safety: setup_signals may be called from any thread; a second call
 * replaces the flag and the grace period and starts no second watchdog.
 */
#ifndef PLATFORM_STATEFILE_STATEFILE_H
#define PLATFORM_STATEFILE_STATEFILE_H

#include "platform/stopflag/stopflag.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the signal handling for `stop` (which it also registers with
 * stopflag_register) and a grace period of `grace_seconds`; 0 or less means
 * no time limit, only a second signal ends the process early. flags is
 * reserved: pass 0. Returns 0, or -1 when `stop` is NULL or the handlers or
 * the watchdog cannot be installed (the reason goes to the log library). */
int setup_signals(StopFlag *stop, int flags, int grace_seconds);

/* Reads the saved positions from `statefile` (a missing file holds none),
 * makes later bury calls write it, registers the save that a forced exit
 * makes first, and installs the signal handling as setup_signals(stop,
 * flags, grace_seconds). From then on tarnresurrect no longer waits. A second
 * call starts over: positions registered before are forgotten. Returns 0;
 * -1 when the file cannot be read as a statefile (reported; no saved
 * positions) or the signal handling cannot be installed. */
int exhume(const char *statefile, StopFlag *stop, int grace_seconds, int flags);

/* How long a saved position that no reader takes is kept, in seconds (0 or
 * less: for ever). Each save forgets the older ones, saying which. */
#define STATEFILE_DEFAULT_POSITION_LIFETIME (30 * 86400.0)
void statefile_set_position_lifetime(double seconds);

/* Writes the current value of every registered position, and the saved
 * positions no reader has claimed, to the statefile. Returns 0, or -1 when
 * the file cannot be written (the old file then stays as it was). Does
 * nothing and returns 0 before exhume. Safe from any thread; saves are
 * serialised. */
int bury(void);

#ifdef __cplusplus
}

#include <memory>
#include <string>

#include "platform/statefile/read_position.h"

/* Restores the position saved for the reader on descriptor `fd` (opened,
 * with its select and reject applied) named `owner` (what tells it apart
 * from other readers of the server with the same expressions; may be
 * empty), and registers `position` so that every later bury saves what it
 * says. `formerOwner` is the reader's tag name: a first-format statefile
 * knew the reader by it (preferred among that file's positions for the
 * server), and the relays that wrote the first and second formats made
 * the identities of the reader's packets from it.
 *
 * `identity`, when given, is the name the identities of the reader's
 * packets are made from: on entry the one for a reader without a saved
 * position; on return the one it keeps: the saved position's (kept with
 * it in the statefile), or for a position of an older format
 * `formerOwner`, so that a packet read again after a restart or an upgrade
 * has the identity it had; each later bury saves it with the position.
 *
 * Two readers registered under one key are reported: the older of their
 * positions is saved. Waits (at most about ten seconds) for exhume to have
 * read the statefile. Returns
 *    0  the descriptor stands where the reader resumes (after the saved
 *       packet, or at it), found by its id and time together; `position`
 *       was restored to the saved place;
 *   -1  no saved position, or the descriptor is unknown, or the saved
 *       packet and every packet after its time are gone;
 *   -2  the saved packet is gone: the descriptor stands at the oldest packet
 *       at or after the saved time;
 *   -3  the server holds no packet.
 * In the -1 (with a saved position), -2 and -3 cases `position` is restored
 * to the saved place too, so that it is kept until the reader is done with
 * a packet. */
int tarnresurrect(int fd, const std::shared_ptr<ReadPosition> &position, const std::string &owner,
                  const std::string &formerOwner = "", std::string *identity = nullptr);

class SequencePositions;

/* Restores the saved positions of a reader of a server that numbers its
 * packets by sequence, stream by stream (sequence_positions.h): `kind` names
 * the kind of server ("seedlink"), `server` the server as configured,
 * `select` the reader's selection and `owner` the reader. Every saved
 * stream of that reader is restored into `positions`, which every later
 * bury saves, stream by stream. Waits for exhume as tarnresurrect does.
 * Returns the number of streams restored. */
int sequenceresurrect(const std::string &kind, const std::string &server, const std::string &select,
                      const std::string &owner,
                      const std::shared_ptr<SequencePositions> &positions);

/* Makes `statefile` this process's alone, before anything reads or saves
 * it: locks the file `statefile`.lock beside it (created when missing, and
 * left there; it holds the pid of the process that locks it) and makes sure
 * the statefile can be saved (its folder takes a new file, and the
 * statefile, when present, is no folder). The lock is a POSIX record lock
 * on that lock file, not on the statefile, which every save replaces by a
 * rename; the kernel releases it when the process ends, however it ends.
 * The descriptor stays open until the process ends. Returns "" when the
 * statefile is now this process's, else why not: another process holds the
 * lock (naming its pid), or the lock file or the statefile cannot be
 * created or written (naming which and the system's reason). A second call
 * for the same statefile in one process returns "". */
std::string statefile_claim(const std::string &statefile);

/* The tarnresurrect calls waiting for exhume right now. Safe from any
 * thread: for a test that must know a reader has reached that wait. */
int tarnresurrect_waiting();
#endif

#endif /* PLATFORM_STATEFILE_STATEFILE_H */
