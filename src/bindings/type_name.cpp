#include "src/bindings/type_name.hpp"

namespace vorlix::bindings {
namespace {

// Takes the reference; empty (and no error left) for a failed lookup or a non-str.
std::string text_of(PyObject* text) {
  std::string out;
  Py_ssize_t size = 0;
  const char* utf8 =
      text != nullptr && PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (utf8 != nullptr) {
    out.assign(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
  }
  Py_XDECREF(text);
  return out;
}

// The deallocator every type made by a class statement (or type()) has, and no other.
void* class_statement_dealloc() {
  static void* dealloc = nullptr;  // under the interpreter lock
  if (dealloc != nullptr) return dealloc;
  PyObject* made = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                         "probe", PyDict_New());
  if (made == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  dealloc = PyType_GetSlot(reinterpret_cast<PyTypeObject*>(made), Py_tp_dealloc);
  Py_DECREF(made);
  return dealloc;
}

}  // namespace

std::string type_name(PyTypeObject* type) {
  std::string name = text_of(PyType_GetName(type));
  // A class statement's type is named by its __name__ alone; static types and those made
  // from slots keep the dotted name they were made with, whose front __module__ holds.
  if (PyType_GetSlot(type, Py_tp_dealloc) == class_statement_dealloc()) return name;
  const std::string module =
      text_of(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (module.empty() || module == "builtins") return name;
  return module + "." + name;
}

std::string type_name_of(PyObject* value) { return type_name(Py_TYPE(value)); }

}  // namespace vorlix::bindings
