# The include_direction test: cmake -DLAYER_MAP=<file> -P CheckLayers.cmake
#
# The map (written by vesk_add_layer_check) holds one line per file:
# rank|layer|include name|path, rank -1 for a file that belongs to no layer.
# Fails when a file includes a header of a layer above its own, includes by a
# relative path instead of through the include path, or belongs to no layer.

file(STRINGS ${LAYER_MAP} entries)
set(problems "")
set(files "")
foreach(entry ${entries})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 rank)
  list(GET fields 1 layer)
  list(GET fields 2 key)
  list(GET fields 3 path)
  if(rank EQUAL -1)
    list(APPEND problems "${path} belongs to no layer")
    continue()
  endif()
  if(DEFINED "RANK_${key}")
    list(APPEND problems "${path} and ${PATH_${key}} are both included as ${key}")
  endif()
  set("RANK_${key}" ${rank})
  set("LAYER_${key}" ${layer})
  set("PATH_${key}" ${path})
  list(APPEND files ${key})
endforeach()

foreach(key ${files})
  file(STRINGS ${PATH_${key}} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" included "${line}")
    if(included MATCHES "^\\.\\./")
      list(APPEND problems "${PATH_${key}} (${LAYER_${key}}) includes ${included} by a relative path")
    elseif(DEFINED "RANK_${included}" AND RANK_${included} GREATER RANK_${key})
      list(APPEND problems
           "${PATH_${key}} (${LAYER_${key}}) includes ${included} of the higher layer ${LAYER_${included}}")
    endif()
  endforeach()
endforeach()

list(LENGTH files checked)
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "include direction: ${checked} files checked\n  ${text}")
endif()
message(STATUS "include direction: ${checked} files checked, every include points down or sideways")
