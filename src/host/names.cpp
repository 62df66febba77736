#include "host/names.hpp"

namespace host {

namespace {
// Static objects register from their constructors, in any order across files; a plain
// pointer with constant initialisation is ready before any of them runs.
Interned* first_interned = nullptr;
}  // namespace

Interned::Interned() noexcept : next_(first_interned) { first_interned = this; }

void make_interned() {
  for (Interned* item = first_interned; item != nullptr; item = item->next_) item->make();
}

void Name::make() {
  PyObject* obj = PyUnicode_InternFromString(text_);
  if (obj == nullptr) fail();
  Py_XDECREF(obj_);
  obj_ = obj;
}

}  // namespace host
