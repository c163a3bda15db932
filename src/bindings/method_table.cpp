#include "src/bindings/method_table.hpp"

#include <cstring>
#include <string>

#include "common/format.hpp"

namespace vorlix::bindings {

bool check_receiver(PyObject* self, PyTypeObject* type) {
  if (Py_IS_TYPE(self, type)) return true;
  // "vorlix_motor_controller.VorlixMotorController" is named by its class name alone.
  const char* dot = std::strrchr(type->tp_name, '.');
  const std::string message =
      fmt::format("'{}' object cannot be converted to '{}'", Py_TYPE(self)->tp_name,
                  dot == nullptr ? type->tp_name : dot + 1);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace vorlix::bindings
