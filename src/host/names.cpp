#include "host/names.hpp"

namespace host {

namespace {
// Static objects register from their constructors, in any order across files; a plain
// pointer with constant initialisation is ready before any of them runs.
Interned* first_interned = nullptr;
}  // namespace

Interned::Interned() noexcept : next_(first_interned) { first_interned = this; }

bool make_interned() noexcept {
  for (Interned* item = first_interned; item != nullptr; item = item->next_)
    if (!item->make()) return false;
  return true;
}

bool Name::make() noexcept {
  PyObject* obj = PyUnicode_InternFromString(text_);
  if (obj == nullptr) return false;
  Py_XSETREF(obj_, obj);
  return true;
}

}  // namespace host
