# The library's layers, lowest first (ARCHITECTURE.md describes them).
#
# vesk_layer(<layer> <include-root> <file>...) puts the files, named relative
# to the include root their includers name them by, into a layer. Layers rank
# in the order of their first vesk_layer call, so the lowest is declared
# first; a layer may be declared in several calls. A file may include headers
# of its own layer and of the layers below it, never of one above:
# vesk_add_layer_check() adds the ctest test that says so.

set_property(GLOBAL PROPERTY VESK_LAYERS "")
set_property(GLOBAL PROPERTY VESK_LAYER_MAP "")

function(vesk_layer layer root)
  get_property(layers GLOBAL PROPERTY VESK_LAYERS)
  if(NOT layer IN_LIST layers)
    set_property(GLOBAL APPEND PROPERTY VESK_LAYERS ${layer})
    list(LENGTH layers rank)
  else()
    list(FIND layers ${layer} rank)
  endif()
  foreach(file ${ARGN})
    if(NOT EXISTS ${root}/${file})
      message(FATAL_ERROR "vesk_layer(${layer}): ${root}/${file} does not exist")
    endif()
    set_property(GLOBAL APPEND PROPERTY VESK_LAYER_MAP "${rank}|${layer}|${file}|${root}/${file}")
  endforeach()
endfunction()

# The files of a layer with their full paths, for add_library.
function(vesk_layer_files out layer)
  get_property(map GLOBAL PROPERTY VESK_LAYER_MAP)
  set(files "")
  foreach(entry ${map})
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 1 name)
    list(GET fields 3 path)
    if(name STREQUAL layer)
      list(APPEND files ${path})
    endif()
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Writes the layer map and adds the include_direction test. Every source and
# header under the given directories must belong to a layer: a source that
# belongs to none would silently drop out of the build, so it stops the
# configuration; a header that belongs to none fails the test.
function(vesk_add_layer_check)
  get_property(map GLOBAL PROPERTY VESK_LAYER_MAP)
  set(listed "")
  set(lines "")
  foreach(entry ${map})
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 3 path)
    list(APPEND listed ${path})
    string(APPEND lines "${entry}\n")
  endforeach()
  set(unlisted "")
  foreach(dir ${ARGN})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h ${dir}/*.hpp)
    foreach(path ${found})
      if(NOT path IN_LIST listed)
        list(APPEND unlisted ${path})
        if(path MATCHES "\\.cpp$")
          message(FATAL_ERROR "${path} belongs to no layer: add it to its layer's list "
                              "(Platform/CMakeLists.txt or Datasource/CMakeLists.txt)")
        endif()
      endif()
    endforeach()
  endforeach()
  foreach(path ${unlisted})
    string(APPEND lines "-1|none|-|${path}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/vesk_layers.txt "${lines}")
  add_test(NAME include_direction
           COMMAND ${CMAKE_COMMAND} -DLAYER_MAP=${PROJECT_BINARY_DIR}/vesk_layers.txt
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
endfunction()
