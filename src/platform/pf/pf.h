/*
 * The parameter-file library: parameter files and the objects they hold.
 *
 * A parameter file holds lines of "key value"; "key &Arr{" ... "}" opens an
 * associative array and "key &List{" ... "}" a list, nested as deep as
 * PF_MAX_DEPTH (docs/parameter-files.md has the whole syntax). A Pf object is
 * one of three kinds: a value (a text), an associative array (keys in the
 * order they were first added; replacing a value keeps its place) or a list.
 *
 * Text form: pf2string writes an object so that pfcompile reads it back to an
 * equal object, whatever its keys and values hold. Plain values are written
 * as they are; a key or value that could not be read back plainly (blanks at
 * its ends, a newline, a leading '&', '#' or '}', an empty list entry) is
 * written as a quoted text &"..." with backslash escapes.
 *
 * Paths: wherever a key is taken, a key that the array holds as it is names
 * that entry; otherwise the key is read as a path such as
 * "connections_special{status_create}{run}", reaching into nested arrays, and
 * "connections{2}" or "connections[2]" into a list by index (from 0).
 *
 * Ownership: objects from pfnew, pfdup and pfcompile(text, &null) belong to
 * the caller, who releases them with pffree. Objects from pfread stay the
 * library's until the program ends and are read-only. Objects handed out by
 * pfget, pfget_index and pfresolve are parts of the object they were taken
 * from and live as long as it does (and until that entry is replaced). Texts
 * from pf2string are the caller's, released with free.
 *
 * Failures are reported by the result codes below; what went wrong (a file
 * name, a line number, what the parser expected) is recorded through the log
 * library (platform/elog/elog.h).
 *
 * Thread-safety: distinct objects may be used from distinct threads, and one
 * object read from several threads at once; an object must not be changed
 * while another thread uses it. pfread may be called from any thread.
 */
#ifndef PLATFORM_PF_PF_H
#define PLATFORM_PF_PF_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Pf Pf;

/* Kinds of object, as pfget returns them. */
enum {
  PFSTRING = 1, /* a value */
  PFTBL = 2,    /* a list */
  PFARR = 3,    /* an associative array */
  PFINVALID = 5 /* no such key or entry */
};

/* How deep arrays and lists may nest in one text; deeper text does not parse. */
#define PF_MAX_DEPTH 100

/* Reads the parameter file `name`: in the current folder, then in each folder
 * of the PFPATH environment variable (folders separated by ':'), the first of
 * `name` and `name`.pf that exists there (an absolute name is not searched
 * for). On success *pf is the file's associative array and the result is 0.
 * The object is the library's, shared by every call that reads the same
 * content from the same file, and is not to be changed (change a pfdup copy);
 * each call reads the file anew, and objects handed out earlier stay valid. -1: no such file;
 * -2: the file does not parse (the reason, with the file name and line
 * number, goes to the log library); -3: the file cannot be read (not a
 * regular file, no permission). */
int pfread(const char *name, Pf **pf);

/* Looks up `key` (a key or a path) in an associative array, or an index in a
 * list, and sets *value (when value is not NULL) to the entry. Returns the
 * entry's kind, or PFINVALID when there is none (then *value is NULL). */
int pfget(Pf *pf, const char *key, Pf **value);

/* Entry `index` (from 0) of a list, or the value of the index-th key of an
 * associative array; as pfget. */
int pfget_index(Pf *pf, int index, Pf **value);

/* The index-th key (from 0) of an associative array, owned by the array;
 * NULL when there is none. */
const char *pfkey_index(Pf *arr, int index);

/* Resolves a path as pfget does. flags is 0. Returns the kind of the entry
 * found, or -1 when the path leads nowhere (then *value is NULL). */
int pfresolve(Pf *pf, const char *path, int flags, Pf **value);

/* The object as text: for an associative array its entries, for a list its
 * entries, each read back by pfcompile into an equal object; for a value the
 * value itself. NULL for a NULL object or when memory runs out. */
char *pf2string(Pf *pf);

/* An independent deep copy; NULL for NULL. */
Pf *pfdup(Pf *pf);

/* Non-zero when both objects have the same kind, keys in the same order and
 * the same values, all the way down. */
int pfequal(Pf *a, Pf *b);

/* Parses `text` into *pf. *pf NULL: a new associative array. An existing
 * associative array: each top-level entry of the text is added at the end,
 * or replaces the entry of the same key in its place (a nested array is
 * replaced whole, not merged). An existing list: the text's lines are list
 * entries, appended. Within one text a later duplicate key wins, in the
 * place of the first. A key with no value gets the empty value.
 * Returns 0 on success; non-zero when the text does not parse (the reason,
 * with the line number, goes to the log library; *pf is then unchanged). */
int pfcompile(const char *text, Pf **pf);

/* A new empty object of the kind PFARR or PFTBL (PFSTRING: an empty value);
 * NULL for another kind. */
Pf *pfnew(int kind);

/* Sets `key` of an associative array (or an index of a list, up to its length
 * to append) to a value. A path sets the entry inside nested objects that
 * exist already; in an array, a key that leads into none is set as it is, so
 * that pfget with the same text finds it. A new key goes at the end; a
 * replaced one keeps its place. Returns 0, or -1 (recorded in the log) for a
 * NULL argument, a value object, or an index that names no place in a list. */
int pfput_string(Pf *pf, const char *key, const char *value);

/* Releases an object and everything in it. NULL is ignored. */
void pffree(Pf *pf);

/* The number of entries of a list (or keys of an array); 0 for a value. */
int pfmaxtbl(Pf *pf);

/* Non-zero when `key` (a key or a path) exists, whatever its value. */
int pfhas_key(Pf *pf, const char *key);

/* The kind of an object (PFSTRING, PFTBL or PFARR); PFINVALID for NULL. */
int pfkind(Pf *pf);

/* The text of a value object, owned by it; NULL for another kind. */
const char *pfvalue(Pf *pf);

/* Typed getters by key or path. pfget_string returns the value owned by the
 * object (empty text for an empty value), or NULL when the key is absent or is
 * not a value. The others return 0 for an absent key or an empty value, and
 * 0 for a value they cannot read, recording the key and the value in the log
 * library. Booleans: true/false, yes/no, y/n, on/off, 1/0, in any case.
 * Integers: decimal, within the range of int. Doubles: decimal or exponent
 * notation, finite. Times: epoch seconds, or the time texts of
 * is_epoch_string (time library), always UTC. */
char *pfget_string(Pf *pf, const char *key);
int pfget_boolean(Pf *pf, const char *key);
double pfget_double(Pf *pf, const char *key);
int pfget_int(Pf *pf, const char *key);
double pfget_time(Pf *pf, const char *key);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PF_PF_H */
