/*
 * The parameter-file library: parameter files and the objects they hold.
 *
 * A parameter file holds lines of "key value"; "key &Arr{" ... "}" opens an
 * associative array and "key &List{" ... "}" a list, nested as deep as needed
 * (docs/parameter-files.md has the whole syntax). A Pf object is one of three
 * kinds: a value (a text), an associative array (keys in the order they were
 * first added) or a list.
 *
 * Paths: wherever a key is taken, a path such as
 * "connections_special{status_create}{run}" reaches into nested arrays, and
 * "connections{2}" or "connections[2]" into a list by index.
 *
 * Ownership: objects from pfnew, pfdup and pfcompile(text, &null) belong to
 * the caller, who releases them with pffree. Objects from pfread stay the
 * library's. Objects handed out by pfget and pfresolve are parts of the
 * object they were taken from and live as long as it does. Texts from
 * pf2string are the caller's, released with free.
 *
 * Failures are reported by result codes below; what went wrong (a file name,
 * a line number, what the parser expected) is recorded through the log
 * library (platform/elog/elog.h).
 *
 * Thread-safety: distinct objects may be used from distinct threads; one
 * object is not to be changed while another thread uses it. pfread keeps a
 * cache of the files it read, guarded by its own lock.
 */
#ifndef PLATFORM_PF_PF_H
#define PLATFORM_PF_PF_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Pf Pf;

/* Kinds of object, as pfget returns them. */
enum {
  PFSTRING = 1,  /* a value */
  PFTBL = 2,     /* a list */
  PFARR = 3,     /* an associative array */
  PFINVALID = 5  /* no such key or entry */
};

/* Reads the parameter file `name`: `name` itself, else `name`.pf, looked for
 * in the current folder, then in each folder of the PFPATH environment
 * variable (folders separated by ':'). On success *pf is the file's
 * associative array (owned by the library) and the result is 0. -1: no such
 * file; -2: the file does not parse (the reason, with the file name and line
 * number, goes to the log library); -3: the file cannot be read. */
int pfread(const char *name, Pf **pf);

/* Looks up `key` (a key or a path) in an associative array and sets *value
 * to the entry. Returns the entry's kind, or PFINVALID when there is none
 * (then *value is NULL). */
int pfget(Pf *pf, const char *key, Pf **value);

/* Entry `index` (from 0) of a list; as pfget. */
int pfget_index(Pf *list, int index, Pf **value);

/* Resolves a path as pfget does. flags is 0. Returns the kind of the entry
 * found, or -1 when the path leads nowhere. */
int pfresolve(Pf *pf, const char *path, int flags, Pf **value);

/* The object as text that pfcompile reads back to an equal object, whatever
 * its values hold. NULL only when memory runs out. */
char *pf2string(Pf *pf);

/* An independent deep copy. */
Pf *pfdup(Pf *pf);

/* Parses `text` into *pf: a new associative array when *pf is NULL,
 * otherwise the existing associative array, where each top-level entry of
 * the text is added, or replaces the entry of the same key whole (a nested
 * array is replaced, not merged). A key with no value gets the empty value.
 * Returns 0 on success; non-zero when the text does not parse (reason to the
 * log library; *pf is then unchanged). */
int pfcompile(const char *text, Pf **pf);

/* A new empty object of the kind PFARR or PFTBL (PFSTRING: an empty value). */
Pf *pfnew(int kind);

/* Sets `key` (a key or a path into existing arrays) of an associative array
 * to a value, adding it at the end or replacing it in place. */
void pfput_string(Pf *pf, const char *key, const char *value);

/* Releases an object and everything in it. NULL is ignored. */
void pffree(Pf *pf);

/* The number of entries of a list (or keys of an array); 0 for a value. */
int pfmaxtbl(Pf *list);

/* Non-zero when `key` (a key or a path) exists, whatever its value. */
int pfhas_key(Pf *pf, const char *key);

/* The kind of an object (PFSTRING, PFTBL or PFARR). */
int pfkind(Pf *pf);

/* Typed getters by key or path. pfget_string returns the value owned by the
 * object, or NULL when the key is absent or is not a value. The others
 * return 0 for an absent key or a value they cannot read, and record why in
 * the log library. Booleans: true/false, yes/no, y/n, on/off, 1/0, any case.
 * Times: epoch seconds, or the time texts of is_epoch_string (time library),
 * always UTC. */
char *pfget_string(Pf *pf, const char *key);
int pfget_boolean(Pf *pf, const char *key);
double pfget_double(Pf *pf, const char *key);
int pfget_int(Pf *pf, const char *key);
double pfget_time(Pf *pf, const char *key);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PF_PF_H */
