#include "src/bindings/method_table.hpp"

#include <string>

#include "common/format.hpp"
#include "src/bindings/type_name.hpp"

namespace vorlix::bindings {

bool refuse_receiver(PyObject* self, PyTypeObject* type) {
  // "vorlix_motor_controller.VorlixMotorController" is named by its class name alone.
  PyObject* class_name = PyType_GetName(type);
  if (class_name == nullptr) return false;
  const char* wanted = PyUnicode_AsUTF8AndSize(class_name, nullptr);
  const std::string message =
      wanted == nullptr ? std::string()
                        : fmt::format("'{}' object cannot be converted to '{}'",
                                      type_name_of(self), wanted);
  Py_DECREF(class_name);
  if (message.empty()) return false;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace vorlix::bindings
