# GoogleTest from Debian's source package, built with our own flags (sanitizers included).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# nlohmann/json is header only. A cross build must never see the host's /usr/include,
# so it gets a folder holding nothing but a link to the library's own headers.
set(VLVPN_JSON_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty-include)
file(MAKE_DIRECTORY ${VLVPN_JSON_INCLUDE})
if(NOT EXISTS ${VLVPN_JSON_INCLUDE}/nlohmann)
  file(CREATE_LINK /usr/include/nlohmann ${VLVPN_JSON_INCLUDE}/nlohmann SYMBOLIC)
endif()
add_library(vlvpn_json INTERFACE)
target_include_directories(vlvpn_json SYSTEM INTERFACE ${VLVPN_JSON_INCLUDE})
