# Warnings are errors in our own targets only; third-party code keeps its own flags.
function(vlvpn_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Werror)
endfunction()
