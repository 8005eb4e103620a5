/* The library's own command-line option parser, identical on every platform:
 * short options and clusters (-hv, -fvalue, -f value), long options
 * (--name, --name=value, --name value, unambiguous abbreviations) and, in
 * long-only mode, long options with a single dash. By default the argument
 * vector is permuted so that options and operands may be mixed.
 *
 * The state lives in the process-wide variables below: the parser is not
 * reentrant and must be used from one thread at a time. Call
 * vek_getopt_reset() before parsing another vector (or the same one again).
 * The parser reorders the pointers of `argv` in place; the strings are never
 * touched or copied, and vek_optarg points into them. */
#ifndef VEK_GETOPT_H
#define VEK_GETOPT_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Values of vek_option.has_arg. */
#define VEK_NO_ARGUMENT 0
#define VEK_REQUIRED_ARGUMENT 1
#define VEK_OPTIONAL_ARGUMENT 2 /* only in the --name=value form */

/* One long option. A table of them ends with an entry whose name is NULL. */
typedef struct vek_option {
  const char* name; /* the long name without dashes */
  int has_arg;      /* VEK_NO_ARGUMENT, VEK_REQUIRED_ARGUMENT or VEK_OPTIONAL_ARGUMENT */
  int* flag;        /* when non-NULL a match stores val here and the parser returns 0 */
  int val;          /* returned (or stored) on a match; as a character, the equivalent short option */
} vek_option;

extern int vek_optind; /* index of the next element of argv to examine (1 at first); never above argc */
extern int vek_opterr; /* 0: print no message */
extern int vek_optopt; /* option character last examined ('-' or the letter after the dash for long options) */
extern char*
    vek_optarg; /* argument of the option just returned, or the operand in return-in-order mode; NULL otherwise */
extern int vek_option_quiet; /* non-zero: print no message either */

/* Results of the parse functions: the option character; the long option's
 * val (0 when its flag is set); 1 for an operand in return-in-order mode
 * (option string beginning with "-"); '?' for an unknown option, an
 * ambiguous abbreviation, an unwanted argument or a missing argument; ':' for
 * a missing argument when the option string begins with ':'; -1 when the
 * options are exhausted (vek_optind then indexes the first operand).
 *
 * Option string: letters, each optionally followed by ":" (argument
 * required) or "::" (argument optional, only attached as in -fvalue); "W;"
 * also takes an argument. A prefix of ":" and/or "+" (stop at the first
 * operand) or "-" (return operands in order) may lead. When POSIXLY_CORRECT
 * is set in the environment, no prefix is read: parsing stops at the first
 * operand and a missing argument gives '?'. Messages go to standard error
 * unless vek_opterr is 0 or vek_option_quiet is non-zero. */
int vek_getopt(int argc, char** argv, const char* opts);

/* As vek_getopt; elements beginning with "--" are long options from
 * `longopts`. The index of a matched entry goes to *longind unless longind
 * is NULL. */
int vek_getopt_long(int argc, char** argv, const char* shortopts, const vek_option* longopts, int* longind);

/* As vek_getopt_long; long options may also begin with a single "-". Such an
 * element is a short option when it is one letter of the option string, else
 * a long option, and otherwise a cluster of short options. */
int vek_getopt_long_only(int argc, char** argv, const char* shortopts, const vek_option* longopts, int* longind);

/* Prepares a new parse: vek_optind 1, vek_opterr 1, vek_optopt 0, position
 * in a short-option cluster 0. vek_optarg and vek_option_quiet are kept. */
void vek_getopt_reset(void);

/* Option string made from a long-option table: ":" followed by val of every
 * entry with a non-zero val, then ":" when it requires an argument or "::"
 * when the argument is optional. A new text the caller frees with free();
 * NULL when out of memory. A NULL or empty table gives ":". */
char* vek_getopt_getShortOptions(const vek_option* long_opts);

#ifdef __cplusplus
}
#endif

#endif /* VEK_GETOPT_H */
