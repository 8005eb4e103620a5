// Function pointers kept in the library's lists, whose slots are void*. A
// data pointer and a function pointer share one representation on every
// platform this library runs on; the union says so without a cast warning.
#ifndef VEK_FUNCTION_SLOT_H
#define VEK_FUNCTION_SLOT_H

namespace vek {

template <typename Function>
void* function_slot(Function function) {
  union {
    Function function;
    void* data;
  } converter;
  converter.data = nullptr;
  converter.function = function;
  return converter.data;
}

template <typename Function>
Function slot_function(void* slot) {
  union {
    Function function;
    void* data;
  } converter;
  converter.data = slot;
  return converter.function;
}

}  // namespace vek

#endif  // VEK_FUNCTION_SLOT_H
