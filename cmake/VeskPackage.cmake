# The installable library vesk (alias vesk::vesk): one archive, or with
# BUILD_SHARED_LIBS one shared object, holding the objects of every layer.
# The layer targets stay static libraries for the tests, the tool and the
# benchmarks, which also reach the library's internal classes.
include(GNUInstallDirs)
include(GenerateExportHeader)
include(CMakePackageConfigHelpers)

set(VESK_LIBRARY_LAYERS vesk_platform vesk_model vesk_sysfile vesk_derived vesk_api)

add_library(vesk)
add_library(vesk::vesk ALIAS vesk)
foreach(layer ${VESK_LIBRARY_LAYERS})
  target_sources(vesk PRIVATE $<TARGET_OBJECTS:${layer}>)
endforeach()
target_compile_features(vesk PUBLIC cxx_std_20)  # the headers use concepts, <span>, <chrono> calendars
target_link_libraries(vesk PRIVATE PkgConfig::VESK_ICU PkgConfig::VESK_SODIUM PkgConfig::VESK_ISAL vesk::deflate Threads::Threads)

# The shared library exports the public API only: the classes and functions
# of the installed headers carry VESK_EXPORT (vesk_export.h), everything else
# is compiled hidden. The marks sit in the headers rather than in a linker
# version script because a script would have to match mangled C++ names
# (vtables, typeinfo, nested classes) by pattern, and would let a new
# internal symbol leak unnoticed; with the marks the compiler also binds the
# library's internal calls directly. The layers' objects are the library's,
# so they are compiled for it.
generate_export_header(vesk BASE_NAME VESK EXPORT_FILE_NAME ${PROJECT_BINARY_DIR}/export/vesk_export.h)
if(BUILD_SHARED_LIBS)
  set_target_properties(${VESK_LIBRARY_LAYERS} PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                                           VISIBILITY_INLINES_HIDDEN ON)
  foreach(layer ${VESK_LIBRARY_LAYERS})
    target_compile_definitions(${layer} PRIVATE vesk_EXPORTS)
  endforeach()
  # 0.x: a new minor version may change the ABI, so the soname carries it.
  set_target_properties(vesk PROPERTIES VERSION ${PROJECT_VERSION}
                                        SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
endif()

# The installed headers: every exported header of Datasource/interface, and
# the platform headers they include. In the build tree they are staged as
# links under include/vesk/, beside the generated version.h, so that
# <vesk/datasource.h> and <vesk/vesk.hpp> resolve there as they do installed.
set(VESK_PLATFORM_PUBLIC_HEADERS
    anonfile.h errortext.h filecipher.h filestream.h refcount.h tempdirs.h textmb.h vesk_assert.h)
get_property(VESK_MAP GLOBAL PROPERTY VESK_LAYER_MAP)
set(VESK_PUBLIC_HEADERS ${PROJECT_BINARY_DIR}/export/vesk_export.h)
foreach(entry ${VESK_MAP})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 3 path)
  if(path MATCHES "^${PROJECT_SOURCE_DIR}/Datasource/interface/")
    list(APPEND VESK_PUBLIC_HEADERS ${path})
  endif()
endforeach()
foreach(name ${VESK_PLATFORM_PUBLIC_HEADERS})
  list(APPEND VESK_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/Platform/${name})
endforeach()

set(VESK_STAGED_INCLUDE ${PROJECT_BINARY_DIR}/include)
set(VESK_PUBLIC_NAMES version.h)
file(MAKE_DIRECTORY ${VESK_STAGED_INCLUDE}/vesk)
foreach(path ${VESK_PUBLIC_HEADERS})
  get_filename_component(name ${path} NAME)
  list(APPEND VESK_PUBLIC_NAMES ${name})
  file(CREATE_LINK ${path} ${VESK_STAGED_INCLUDE}/vesk/${name} SYMBOLIC)
endforeach()
# An installed header may include only installed headers.
foreach(path ${VESK_PUBLIC_HEADERS})
  file(STRINGS ${path} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" included "${line}")
    if(NOT included IN_LIST VESK_PUBLIC_NAMES)
      message(FATAL_ERROR "${path} includes ${included}, which is not installed (cmake/VeskPackage.cmake)")
    endif()
  endforeach()
endforeach()

target_include_directories(vesk PUBLIC $<BUILD_INTERFACE:${VESK_STAGED_INCLUDE}>
                                       $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Installed: lib/libvesk.a or libvesk.so*, include/vesk/, the CMake package
# (lib/cmake/vesk) and lib/pkgconfig/vesk.pc.
install(TARGETS vesk EXPORT veskTargets)
install(FILES ${VESK_PUBLIC_HEADERS} ${VESK_STAGED_INCLUDE}/vesk/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk)
set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
install(EXPORT veskTargets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_DIR})
if(BUILD_SHARED_LIBS)
  set(VESK_STATIC FALSE)
else()
  set(VESK_STATIC TRUE)
endif()
configure_package_config_file(cmake/veskConfig.cmake.in ${PROJECT_BINARY_DIR}/veskConfig.cmake
                              INSTALL_DESTINATION ${VESK_CMAKE_DIR})
# 0.x: find_package(vesk 0.2) accepts 0.2.* only, as a minor version may break
# the API before 1.0.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veskConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veskConfig.cmake ${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
        DESTINATION ${VESK_CMAKE_DIR})

# vesk.pc finds its prefix relative to itself, so the installed tree may move.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(VESK_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH VESK_PC_UP /x/${CMAKE_INSTALL_LIBDIR}/pkgconfig /x)
  string(REGEX REPLACE "/$" "" VESK_PC_UP ${VESK_PC_UP})
  set(VESK_PC_PREFIX "\${pcfiledir}/${VESK_PC_UP}")
endif()
configure_file(cmake/vesk.pc.in ${PROJECT_BINARY_DIR}/vesk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vesk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
