# What `cmake --install` puts under the prefix. A wheel carries the module and the doctor;
# a plain install carries the core's headers and static libraries with a CMake package, so
# that find_package(vorlix_motor_controller) gives C++ programs vorlix_motor_controller::core.
if(SKBUILD)
  install(TARGETS vorlix-doctor RUNTIME DESTINATION ${SKBUILD_SCRIPTS_DIR})
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vorlix-doctor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# In link order: each library before the ones it needs.
set(vorlix_core_libraries
    vorlix_control_loop vorlix_controller vorlix_servo_bus vorlix_can_motor vorlix_common)
install(TARGETS ${vorlix_core_libraries} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(VORLIX_CORE_ARCHIVES "")
foreach(library IN LISTS vorlix_core_libraries)
  list(APPEND VORLIX_CORE_ARCHIVES
       "${CMAKE_STATIC_LIBRARY_PREFIX}${library}${CMAKE_STATIC_LIBRARY_SUFFIX}")
endforeach()

# The headers keep their paths below the source root, so a program includes them exactly as
# the core does ("src/controller/controller.hpp").
set(VORLIX_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/vorlix_motor_controller)
install(DIRECTORY common servo_bus can_motor DESTINATION ${VORLIX_INCLUDE_DIR}
        FILES_MATCHING PATTERN "*.hpp")
install(DIRECTORY src/controller src/control_loop DESTINATION ${VORLIX_INCLUDE_DIR}/src
        FILES_MATCHING PATTERN "*.hpp")

# One version for the wheel and the package: the one pyproject.toml declares.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml vorlix_version_line
     REGEX "^version = \"[0-9.]+\"$")
string(REGEX MATCH "[0-9.]+" vorlix_version "${vorlix_version_line}")

set(vorlix_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vorlix_motor_controller)
configure_package_config_file(
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/vorlix_motor_controllerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfig.cmake
  INSTALL_DESTINATION ${vorlix_package_dir}
  PATH_VARS CMAKE_INSTALL_LIBDIR VORLIX_INCLUDE_DIR)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfigVersion.cmake
  VERSION ${vorlix_version} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vorlix_motor_controllerConfigVersion.cmake
        DESTINATION ${vorlix_package_dir})
