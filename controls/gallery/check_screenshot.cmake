# Runs the gallery with --screenshot and checks that a non-empty PNG came out.
# Usage: cmake -DGALLERY=<executable> -DOUT=<file.png> -P check_screenshot.cmake
file(REMOVE "${OUT}")
execute_process(COMMAND "${GALLERY}" --screenshot "${OUT}" RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "controls-gallery --screenshot exited with ${rc}")
endif()
if(NOT EXISTS "${OUT}")
  message(FATAL_ERROR "no screenshot at ${OUT}")
endif()
file(SIZE "${OUT}" size)
file(READ "${OUT}" signature LIMIT 8 HEX)
# Every PNG starts with these eight bytes.
if(size EQUAL 0 OR NOT signature STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "${OUT} is not a PNG (${size} bytes, starts ${signature})")
endif()
message(STATUS "screenshot ${OUT}: ${size} bytes")
