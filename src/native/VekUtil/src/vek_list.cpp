// The library's ordered-set container: a growable array of untyped pointers.
// Every misuse is logged at ERROR and answered with a neutral result.

#include "vek_list.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vek_logging.h"

namespace {

// Same pointer in both slots. Used until the owner sets a comparison.
int default_compare(const void* a, const void* b) {
  return *static_cast<void* const*>(a) == *static_cast<void* const*>(b) ? 0 : 1;
}

// Makes room for one more element (keeping the ">=" rule, so that lists
// growing by 2 or more keep a NULL slot after the last element). On failure
// the list is unchanged and errno tells why.
bool grow_if_needed(vek_list_t* list) {
  if (list->size + 1 < list->allocated) return true;
  if (list->growby > SIZE_MAX / sizeof(void*) - list->allocated) {
    errno = ENOMEM;
    return false;
  }
  size_t new_allocated = list->allocated + list->growby;
  void** grown = static_cast<void**>(list->data == nullptr ? calloc(new_allocated, sizeof(void*))
                                                           : realloc(list->data, new_allocated * sizeof(void*)));
  if (grown == nullptr) return false;
  for (size_t i = list->allocated; i < new_allocated; ++i) grown[i] = nullptr;
  list->data = grown;
  list->allocated = new_allocated;
  return true;
}

// vek_listFind without the argument checks.
int find_element(const vek_list_t* list, void* object) {
  for (size_t i = 0; i < list->size; ++i) {
    if (list->data[i] == object) return static_cast<int>(i);
    if (list->comp != nullptr && list->comp(&list->data[i], &object) == 0) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

extern "C" {

int vek_listStringCompare(const void* a, const void* b) {
  const char* left = *static_cast<const char* const*>(a);
  const char* right = *static_cast<const char* const*>(b);
  if (left == nullptr || right == nullptr) {
    // NULL texts sort first and equal only each other.
    return (left != nullptr) - (right != nullptr);
  }
  return strcmp(left, right);
}

vek_list_t* vek_listCreate(size_t increment) {
  vek_list_t* list = static_cast<vek_list_t*>(calloc(1, sizeof(vek_list_t)));
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not alocate space for the requested list: %s", strerror(errno));
    return nullptr;
  }
  if (increment == 0) {
    veklog(VEK_HERE, VEKLOG_WARN, "Increment passed to vek_listCreate() is 0, the minimum value is 1. Restting it.");
    increment = 1;
  }
  list->growby = increment;
  list->comp = default_compare;
  return list;
}

void vek_listDestroy(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listDestroy(). This is an internal programming error");
    return;
  }
  free(list->data);
  free(list);
}

bool vek_listAdd(vek_list_t* list, void* object) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listAdd(). This is an internal programming error");
    return false;
  }
  int found = vek_listFind(list, object);
  if (found >= 0) {
    list->data[found] = object;
    return true;
  }
  if (!grow_if_needed(list)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate more space for the list. Item not added. %s", strerror(errno));
    return false;
  }
  list->data[list->size++] = object;
  return true;
}

bool vek_listAddList(vek_list_t* list, vek_list_t* toadd) {
  if (list == nullptr || toadd == nullptr) return false;
  for (size_t i = 0; i < toadd->size; ++i) {
    if (!vek_listAdd(list, toadd->data[i])) return false;
  }
  return true;
}

bool vek_listInsert(vek_list_t* list, void* object, size_t item_index) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listInsert(). This is an internal programming error");
    return false;
  }
  if (item_index > list->size) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Index to insert at (%d) is past the end of the list (%d). Item not inserted.",
           static_cast<int>(item_index), static_cast<int>(list->size));
    return false;
  }
  if (!grow_if_needed(list)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate more space for the list. Item not inserted. %s",
           strerror(errno));
    return false;
  }
  int found = vek_listFind(list, object);
  if (found >= 0) {
    list->data[found] = object;
    return true;
  }
  memmove(&list->data[item_index + 1], &list->data[item_index], (list->size - item_index) * sizeof(void*));
  list->data[item_index] = object;
  list->size++;
  return true;
}

void* vek_listGet(vek_list_t* list, size_t item_index) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listGet(). This is an internal programming error");
    return nullptr;
  }
  if (item_index >= list->size) {
    veklog(VEK_HERE, VEKLOG_ERROR, "List index %ld is is past the end of the list. This is a programming error",
           static_cast<long>(item_index));
    return nullptr;
  }
  return list->data[item_index];
}

size_t vek_listGetSize(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listGetSize(). This is an internal programming error");
    return 0;
  }
  return list->size;
}

int vek_listFind(vek_list_t* list, void* object) {
  if (list == nullptr || object == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL list or object passed to vek_listFind(). This is an internal programming error");
    return -1;
  }
  return find_element(list, object);
}

void vek_listSetCompare(vek_list_t* list, vek_list_compare_t comp) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listSetCompare(). This is an internal programming error");
    return;
  }
  list->comp = comp;
}

bool vek_listRemove(vek_list_t* list, void* object) {
  if (list == nullptr || object == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL list or object passed to vek_listRemove(). This is an internal programming error");
    return false;
  }
  int found = find_element(list, object);
  return found >= 0 && vek_listRemoveAt(list, static_cast<size_t>(found));
}

bool vek_listRemoveAt(vek_list_t* list, size_t location) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL list or object passed to vek_listRemoveAt(). This is an internal programming "
           "error");
    return false;
  }
  if (location >= list->size) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Invalid location \"%d\" passed to vek_listRemoveAt(). This is an internal programming "
           "error",
           static_cast<int>(location));
    return false;
  }
  memmove(&list->data[location], &list->data[location + 1], (list->size - location - 1) * sizeof(void*));
  list->size--;
  list->data[list->size] = nullptr;
  return true;
}

void vek_listRemoveAll(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listRemoveAll(). This is an internal programming error");
    return;
  }
  free(list->data);
  list->data = nullptr;
  list->size = 0;
  list->allocated = 0;
}

void vek_listDeleteAll(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listDeleteAll(). This is an internal programming error");
    return;
  }
  for (size_t i = 0; i < list->size; ++i) free(list->data[i]);
  vek_listRemoveAll(list);
}

void vek_listSort(vek_list_t* list, vek_list_compare_t comp) {
  if (list == nullptr || comp == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL list or comparison passed to vek_listSort(). This is an internal programming "
           "error");
    return;
  }
  if (list->size > 1) qsort(list->data, list->size, sizeof(void*), comp);
}

void** vek_listGetData(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listGetData(). This is an internal programming error");
    return nullptr;
  }
  void** copy = static_cast<void**>(malloc((list->size + 1) * sizeof(void*)));
  if (copy == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate memory from list data in vek_listGetData(): %s",
           strerror(errno));
    return nullptr;
  }
  if (list->size > 0) memcpy(copy, list->data, list->size * sizeof(void*));
  copy[list->size] = nullptr;
  return copy;
}

vek_listitr_t* vek_listItrCreate(vek_list_t* list) {
  if (list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_listItrCreate(). This is an internal programming error");
    return nullptr;
  }
  vek_listitr_t* itr = static_cast<vek_listitr_t*>(calloc(1, sizeof(vek_listitr_t)));
  if (itr == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate space for the requested list iterator: %s", strerror(errno));
    return nullptr;
  }
  itr->list = list;
  itr->size = list->size;
  return itr;
}

bool vek_listItrHasNext(vek_listitr_t* itr) {
  if (itr == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL iterator passed to vek_listItrHasNext(). This is an internal programming error");
    return false;
  }
  return itr->current < itr->size;
}

void* vek_listItrNext(vek_listitr_t* itr) {
  if (itr == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL iterator passed to vek_listItrNext(). This is an internal programming error");
    return nullptr;
  }
  // Callers are meant to ask vek_listItrHasNext first; one that does not
  // gets NULL rather than a read past the slot array.
  if (itr->current >= itr->list->size) return nullptr;
  void* element = itr->list->data[itr->current];
  itr->previous = itr->current;
  itr->current++;
  itr->next_called = true;
  return element;
}

void* vek_listItrRemove(vek_listitr_t* itr) {
  if (itr == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL iterator passed to vek_listItrRemove(). This is an internal programming error");
    return nullptr;
  }
  if (!itr->next_called) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "vek_listItrRemove() can only be called once per vek_listItrNext(). This is an "
           "internal programming error");
    return nullptr;
  }
  void* element = vek_listGet(itr->list, itr->previous);
  if (!vek_listRemoveAt(itr->list, itr->previous)) return nullptr;
  itr->size--;
  if (itr->current > 0) itr->current--;
  if (itr->previous > 0) itr->previous--;
  itr->next_called = false;
  return element;
}

void vek_listItrDestroy(vek_listitr_t* itr) { free(itr); }

}  // extern "C"
