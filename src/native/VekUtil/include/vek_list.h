/* The library's one container: a growable array of untyped pointers that
 * behaves like an ordered set. Adding an element the list already holds (same
 * pointer, or equal by the list's comparison) replaces it in place. The list
 * never frees its elements except in vek_listDeleteAll. Misuse (NULL list, bad
 * index) is logged at ERROR and gives a neutral result. */
#ifndef VEK_LIST_H
#define VEK_LIST_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives pointers to the element slots (pointer to pointer); 0 means equal. */
typedef int (*vek_list_compare_t)(const void* a, const void* b);

typedef struct vek_list_t {
  size_t size;             /* number of elements */
  size_t growby;           /* slots added at each growth; at least 1 */
  size_t allocated;        /* number of slots in data */
  void** data;             /* the slots; NULL until first growth; unused slots are NULL */
  vek_list_compare_t comp; /* comparison used to find elements */
} vek_list_t;

typedef struct vek_listitr_t {
  vek_list_t* list; /* the list walked */
  size_t size;      /* list size at creation, less each removal through the iterator */
  size_t current;   /* index of the next element to return */
  size_t previous;  /* index of the element returned last */
  bool next_called; /* true between vek_listItrNext and the next vek_listItrRemove */
} vek_listitr_t;

/* strcmp of the two texts the slots point to. */
int vek_listStringCompare(const void* a, const void* b);

/* New empty list growing `increment` slots at a time (0 is warned about and
 * becomes 1). Returns NULL when out of memory. Free with vek_listDestroy. */
vek_list_t* vek_listCreate(size_t increment);
/* Frees the slot array and the list record, not the elements. */
void vek_listDestroy(vek_list_t* list);

/* Append, or replace an equal element in place. False when the list could not grow. */
bool vek_listAdd(vek_list_t* list, void* object);
/* vek_listAdd of every element of `toadd`; false for a NULL argument. */
bool vek_listAddList(vek_list_t* list, vek_list_t* toadd);
/* Insert before `item_index` (0..size), or replace an equal element in place. */
bool vek_listInsert(vek_list_t* list, void* object, size_t item_index);
/* The element at the index (not a copy), or NULL. */
void* vek_listGet(vek_list_t* list, size_t item_index);
size_t vek_listGetSize(vek_list_t* list);
/* Index of the first equal element, or -1. */
int vek_listFind(vek_list_t* list, void* object);
void vek_listSetCompare(vek_list_t* list, vek_list_compare_t comp);
/* Remove the first equal element; false when absent. */
bool vek_listRemove(vek_list_t* list, void* object);
bool vek_listRemoveAt(vek_list_t* list, size_t location);
/* Empty the list and free its slot array; the elements are not freed. */
void vek_listRemoveAll(vek_list_t* list);
/* free() every element, then empty the list as vek_listRemoveAll does. */
void vek_listDeleteAll(vek_list_t* list);
/* qsort the elements with `comp`; the list's own comparison is unchanged. */
void vek_listSort(vek_list_t* list, vek_list_compare_t comp);
/* New array of the element pointers followed by NULL, or NULL when out of
 * memory. The caller frees the array with free(), not the elements. */
void** vek_listGetData(vek_list_t* list);

/* Iterator at the first element, or NULL. Free with vek_listItrDestroy. */
vek_listitr_t* vek_listItrCreate(vek_list_t* list);
bool vek_listItrHasNext(vek_listitr_t* itr);
/* The next element; call only after vek_listItrHasNext returned true (past
 * the end of the list it returns NULL). */
void* vek_listItrNext(vek_listitr_t* itr);
/* Remove and return the element last returned by vek_listItrNext, or NULL. */
void* vek_listItrRemove(vek_listitr_t* itr);
void vek_listItrDestroy(vek_listitr_t* itr);

#ifdef __cplusplus
}
#endif

#endif /* VEK_LIST_H */
