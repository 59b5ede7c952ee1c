# Instrumented builds, each in a build folder of its own.
#
#   STUBWARDEN_SANITIZE  every target with AddressSanitizer (and its leak
#                        check) and UndefinedBehaviorSanitizer; any finding
#                        ends the process.
#   STUBWARDEN_FUZZ      the same, with clang's coverage instrumentation, and
#                        the fuzz targets linked with libFuzzer.
option(STUBWARDEN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(STUBWARDEN_FUZZ "Build the fuzz targets with libFuzzer (clang only)" OFF)

if(STUBWARDEN_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "STUBWARDEN_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
endif()
if(STUBWARDEN_SANITIZE OR STUBWARDEN_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # With the sanitizers' instrumentation GCC 12 takes std::function inside
    # <regex> for uninitialized; the uninstrumented build keeps the warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
if(STUBWARDEN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
