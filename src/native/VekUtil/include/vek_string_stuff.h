/* Text helpers. Every function that returns text returns a new heap
 * allocation that the caller releases with free(); a NULL input gives NULL.
 * Inputs are never modified (strlwr excepted). */
#ifndef VEK_STRING_STUFF_H
#define VEK_STRING_STUFF_H

#include <jni.h>

#include "vek_list.h"
#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vek_stringbuffer_t {
  char* data;         /* the characters, zero-terminated; NULL until the first append */
  size_t data_length; /* bytes allocated for data */
  size_t offset;      /* number of characters held */
} vek_stringbuffer_t;

/* Concatenation of `start` and the further texts up to a NULL pointer. */
char* vek_stringMCat(const char* start, ...);
bool vek_stringEndsWith(const char* str, const char* suffix);
/* List of new texts split at any of the NULL-terminated `separators`. With
 * `collapse`, separators at the current position produce no empty token. The
 * caller frees the texts (vek_listDeleteAll) and the list (vek_listDestroy). */
vek_list_t* vek_stringTokenizeEx(const char* input, const char** separators, bool collapse);
vek_list_t* vek_stringTokenize(const char* input, const char** separators);
/* The texts of `elements` joined with `delim`; NULL (logged) for NULL arguments. */
char* vek_joinStringList(vek_list_t* elements, const char* delim);
char* vek_stripWhitespace(const char* input);
/* Every non-overlapping occurrence of `from` replaced by `to`. */
char* vek_stringReplace(const char* input, const char* from, const char* to);
/* Wrapped copy: lines of at most `max_width` columns, continuation lines led
 * by `indent_text`; words are never split; no trailing white space. */
char* vek_stringLineWrap(const char* str, const char* indent_text, int max_width);
/* Percent-escapes every byte except A-Z a-z 0-9 * - . _ (upper-case hex). */
char* vek_stringURLEncode(const char* input);
/* Reverses %XX escapes (either case) and turns '+' into a blank. A '%' not
 * followed by two hexadecimal digits is kept as a literal '%'. */
char* vek_stringURLDecode(const char* input);
#ifndef _WIN32
/* Lowers `s` in place and returns it. */
char* strlwr(char* s);
#endif

/* Growable character buffer. Create returns NULL when out of memory; destroy
 * frees the buffer and its data (NULL is ignored). */
vek_stringbuffer_t* vek_stringBufferCreate(void);
/* When the data cannot grow, the character is dropped (not reported). */
void vek_stringBufferAppendChar(vek_stringbuffer_t* buffer, char c);
void vek_stringBufferAppendString(vek_stringbuffer_t* buffer, const char* to_append);
/* Copy of the content, or NULL when nothing was appended. */
char* vek_stringBufferToString(vek_stringbuffer_t* buffer);
void vek_stringBufferDestroy(vek_stringbuffer_t* buffer);

/* Native multibyte copy of a Java string in the current locale; "" when it
 * cannot be converted, NULL for a NULL string. */
char* vek_convertJavaStringToNative(JNIEnv* env, jstring js);

#ifdef __cplusplus
}
#endif

#endif /* VEK_STRING_STUFF_H */
