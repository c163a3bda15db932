# What `cmake --install` puts under the prefix. A wheel carries the module and the doctor;
# a plain install carries the public headers, the core's static libraries and a CMake
# package, so that find_package(vorlix_motor_controller) gives C++ programs
# vorlix_motor_controller::core.
if(SKBUILD)
  install(TARGETS vorlix-doctor RUNTIME DESTINATION ${SKBUILD_SCRIPTS_DIR})
  return()
endif()

include(CMakePackageConfigHelpers)

install(TARGETS vorlix-doctor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The layers travel with the core target (a static library brings the ones it needs), but a
# program names only vorlix_motor_controller::core.
install(TARGETS vorlix_core vorlix_control_loop vorlix_controller vorlix_servo_bus
                vorlix_can_motor vorlix_common
        EXPORT vorlix_motor_controller_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/vorlix DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# One version for the wheel and the package: the one pyproject.toml declares.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml vorlix_version_line
     REGEX "^version = \"[0-9.]+\"$")
string(REGEX MATCH "[0-9.]+" vorlix_version "${vorlix_version_line}")

set(vorlix_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vorlix_motor_controller)
install(EXPORT vorlix_motor_controller_targets NAMESPACE vorlix_motor_controller::
        DESTINATION ${vorlix_package_dir})
configure_package_config_file(
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/vorlix_motor_controllerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfig.cmake
  INSTALL_DESTINATION ${vorlix_package_dir})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfigVersion.cmake
  VERSION ${vorlix_version} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfigVersion.cmake
        DESTINATION ${vorlix_package_dir})
