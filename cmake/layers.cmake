# One library per folder under src/, linked one way:
#   common -> storage, device, tray, startup, pickers, auth -> killswitch -> tunnel -> modules -> app
# vlvpn_folder_library(<folder> SOURCES ... DEPENDS <folders>) builds vlvpn_<folder> and
# fails the configure step when a file of the folder includes a folder it may not use.
set(VLVPN_FOLDERS common storage device tray startup pickers auth killswitch tunnel modules app service)

function(vlvpn_folder_library folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(vlvpn_${folder} STATIC ${ARG_SOURCES})
  target_include_directories(vlvpn_${folder} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  foreach(dependency IN LISTS ARG_DEPENDS)
    target_link_libraries(vlvpn_${folder} PUBLIC vlvpn_${dependency})
  endforeach()
  vlvpn_warnings(vlvpn_${folder})

  # What the folder may include: itself, the folders it links, and theirs.
  set(allowed ${folder})
  foreach(dependency IN LISTS ARG_DEPENDS)
    get_property(reach GLOBAL PROPERTY VLVPN_REACH_${dependency})
    list(APPEND allowed ${dependency} ${reach})
  endforeach()
  list(REMOVE_DUPLICATES allowed)
  set_property(GLOBAL PROPERTY VLVPN_REACH_${folder} ${allowed})

  file(GLOB files ${PROJECT_SOURCE_DIR}/src/${folder}/*.h ${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^#include \"[a-z]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" used "${line}")
      if(used IN_LIST VLVPN_FOLDERS AND NOT used IN_LIST allowed)
        message(FATAL_ERROR "${file} includes ${used}/, which src/${folder} may not use (allowed: ${allowed})")
      endif()
    endforeach()
  endforeach()
endfunction()
