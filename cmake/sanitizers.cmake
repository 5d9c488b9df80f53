set(VLVPN_SANITIZER "" CACHE STRING
    "Sanitizer build: '', 'address' (ASan+UBSan), 'fuzz' (clang: ASan+UBSan with libFuzzer coverage) or 'thread'")
if(VLVPN_SANITIZER STREQUAL "address" OR VLVPN_SANITIZER STREQUAL "fuzz")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  if(VLVPN_SANITIZER STREQUAL "fuzz")
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "VLVPN_SANITIZER=fuzz needs clang (libFuzzer)")
    endif()
    # Every library carries the coverage the fuzzer steers by; only the fuzz targets
    # link the fuzzer's own main.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
elseif(VLVPN_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VLVPN_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown VLVPN_SANITIZER '${VLVPN_SANITIZER}'")
endif()
