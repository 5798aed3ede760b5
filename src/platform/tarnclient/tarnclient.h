/*
 * The tarn client library: reading packets from and putting packets onto a
 * tarn server (see docs/tarn-protocol.md).
 *
 * A descriptor from tarnopen is one connection with its own position and
 * select/reject expressions. Descriptors are the library's own small
 * positive integers, not sockets.
 *
 * Reading streams: the server sends a reading descriptor every packet it
 * delivers, ahead of the reaps, and most reaps take a packet from a buffer
 * without a system call. Putting batches: tarnput hands the packet to the
 * library and returns; the library sends batches and keeps every packet
 * until the server acknowledges it (a background thread sends a batch left
 * waiting longer than about a millisecond). tarnclose, and the end of the
 * process (exit), wait a bounded time for outstanding puts; what is left at
 * exit is logged. Puts are numbered and their acknowledgements counted, so
 * that a caller can tell which of its packets a server holds
 * (tarnclient_internal.h).
 *
 * Lost connections are mended here: the library reconnects with back-off,
 * restores the expressions, resumes after the last packet it delivered
 * (a packet may come twice, none goes missing while the ring still holds
 * it), and re-sends puts the server had not acknowledged. While the server
 * is away tarnreap_timeout returns -2 (TARN_EOF once the process's stop flag
 * is set) and tarnput waits, failing only once the stop flag is set. Once
 * the stop flag is set no wait lasts long: a reap returns within a tenth of
 * a second, and a put, a request or a wait for acknowledgements gives up
 * after three seconds in which the server takes or answers nothing. Each
 * loss and recovery, and packets that a slow reader lost because the ring
 * dropped them first, are reported with elog_log. A put the server refuses
 * once connected (its writers rule does not allow the source) is dropped,
 * reported in one line (or left to the caller that says it takes them:
 * callerSaysRefusals), counted as acknowledged and kept for takeRefusedPuts
 * (tarnclient_internal.h); the puts after it go on after the reconnection.
 *
 * Positions: after tarnposition(fd, "newest") or tarnseek(fd, TARN_NEWEST)
 * the next reap returns the newest packet the descriptor delivers; "oldest"
 * and TARN_OLDEST the oldest; after tarnseek(fd, id) packet id (or the first
 * delivered packet after it); after tarnafter(fd, t) the oldest delivered
 * packet whose time is >= t; after a reap of packet k the next delivered
 * packet after k. Where there is no such packet the call returns a negative
 * value and the next reap returns the first packet that arrives.
 *
 * Thread-safety: every function may be called from any thread; calls on one
 * descriptor are serialised, calls on different descriptors run in parallel.
 */
#ifndef PLATFORM_TARNCLIENT_TARNCLIENT_H
#define PLATFORM_TARNCLIENT_TARNCLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

#define TARN_EOF (-9)     /* tarnreap*: no more data will come (stopping) */
#define TARN_TIMEOUT (-2) /* tarnreap_timeout: nothing within the time-out */
#define TARN_NEWEST (-14) /* tarnseek: the newest delivered packet */
#define TARN_OLDEST (-13) /* tarnseek: the oldest delivered packet */
#define TARN_DEFAULT_PORT 6510

/* Connects to the tarn server `name` ("host:port", ":port" meaning
 * 127.0.0.1, or "host" meaning port 6510). mode is "r&" or "w&" (also "r",
 * "w"); both may read and put, the mode only says what the caller intends.
 * The new descriptor first stands at the next packet to arrive. Returns the
 * descriptor, or -1 when the name is bad or the server cannot be reached
 * (the reason is logged). */
int tarnopen(const char *name, const char *mode);

/* Restricts the descriptor to sources whose whole name matches (select) or
 * does not match (reject) the POSIX extended regular expression; "" lifts
 * the restriction. Returns the number of sources in the ring that the
 * descriptor now delivers, or -1 (bad expression: nothing changed; or no
 * connection: the expression is applied once it is back). */
int tarnselect(int fd, const char *expression);
int tarnreject(int fd, const char *expression);

/* Positioning; each returns the id of the packet the next reap returns, or
 * a negative value when there is none (see above). tarnseek with an id that
 * the ring does not hold returns -1 and leaves the position as it was;
 * tarnseek with the id the next packet will get stands there. */
int tarnposition(int fd, const char *where); /* "newest" or "oldest" */
int tarnseek(int fd, int pktid_or_code);
int tarnafter(int fd, double time);
/* An id such that tarnseek to it returns that id and restores the current
 * position; -1 for an unknown descriptor. */
int tarntell(int fd);

/* Delivers the next packet: its id, source name (srcname holds 64
 * characters), time and bytes. *buf is grown with realloc as needed
 * (*bufsize is its size; start with NULL and 0); the caller owns it.
 * Returns 0 with a packet, TARN_TIMEOUT when none came within `timeout`
 * seconds (also while the server is unreachable), TARN_EOF when the server
 * is unreachable and the process is stopping, -1 for a bad descriptor or
 * arguments. tarnreap waits without a time-out (until the stop flag). */
int tarnreap_timeout(int fd, double timeout, int *pktid, char *srcname, double *time, char **buf,
                     int *nbytes, int *bufsize);
int tarnreap(int fd, int *pktid, char *srcname, double *time, char **buf, int *nbytes,
             int *bufsize);

/* Puts one packet (source name of 1 to 63 characters, time, nbytes bytes up
 * to the server's maximum). Returns 0 once the library holds the packet,
 * -1 for bad arguments, -3 when the process is stopping while the server is
 * unreachable. */
int tarnput(int fd, const char *srcname, double time, const char *bytes, int nbytes);

/* Sends outstanding puts and waits until the server has acknowledged them
 * (at most about ten seconds, less once the stop flag is set), then closes
 * the descriptor. Returns 0, or -1 when puts were left unacknowledged or the
 * descriptor is unknown. */
int tarnclose(int fd);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_TARNCLIENT_TARNCLIENT_H */
