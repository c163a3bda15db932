# Each layer's headers below the source root are private to it, but for those it names as
# the interface of the layers above. A file that includes another layer's private header
# does not build: the header is on no include path of the file's own target.
#
# vorlix_layer_headers(TARGET DIR EXPORTED HEADER...) gives TARGET two include roots in the
# build tree, each holding links into the sources so that every include keeps its path from
# the source root: a private one with the whole of DIR, for TARGET's own files, and one
# with the EXPORTED headers alone, for TARGET and the targets that link it.
set(vorlix_source_root ${CMAKE_CURRENT_LIST_DIR})
cmake_path(GET vorlix_source_root PARENT_PATH vorlix_source_root)

function(vorlix_layer_headers target dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "EXPORTED")
  set(roots ${CMAKE_CURRENT_BINARY_DIR}/include_roots/${target})
  file(REMOVE_RECURSE ${roots})  # no header a former list exported stays reachable
  cmake_path(GET dir PARENT_PATH parent)
  file(MAKE_DIRECTORY ${roots}/private/${parent} ${roots}/exported)
  file(CREATE_LINK ${vorlix_source_root}/${dir} ${roots}/private/${dir} SYMBOLIC)
  foreach(header IN LISTS arg_EXPORTED)
    if(NOT EXISTS ${vorlix_source_root}/${header})
      message(FATAL_ERROR "${target} exports ${header}, which does not exist")
    endif()
    cmake_path(GET header PARENT_PATH header_dir)
    file(MAKE_DIRECTORY ${roots}/exported/${header_dir})
    file(CREATE_LINK ${vorlix_source_root}/${header} ${roots}/exported/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE $<BUILD_INTERFACE:${roots}/private>
                             PUBLIC $<BUILD_INTERFACE:${roots}/exported>)
endfunction()
