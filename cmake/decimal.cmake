# The decimal-to-double conversion of src/base/decimal.cpp: fast_float where
# it is found (its CMake package, or its header alone), else the standard
# library's floating-point std::from_chars, which libc++ 19 and Apple's libc++
# lack. Both are correctly rounded. VESK_FAST_FLOAT=OFF skips the search (the
# benchmark of one against the other).
option(VESK_FAST_FLOAT "Convert decimals with fast_float when it is found" ON)
string(CONCAT VESK_DECIMAL_HELP
  "_vesk needs a correctly rounded decimal-to-double conversion: the header-only "
  "fast_float library, or a C++ standard library with a floating-point std::from_chars "
  "(libstdc++ 11 or later; not libc++ 19 or Apple's libc++). Install fast_float:\n"
  "  Debian/Ubuntu:  apt-get install libfast-float-dev\n"
  "  Fedora:         dnf install fast_float-devel\n"
  "  Alpine:         apk add fast_float\n"
  "  macOS:          brew install fast_float\n"
  "A fast_float of your own: -DCMAKE_PREFIX_PATH=<its install prefix>, or "
  "-DVESK_FAST_FLOAT_INCLUDE_DIR=<the folder holding fast_float/fast_float.h>.")

set(VESK_DECIMAL_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/src/base/decimal.cpp)
if(VESK_FAST_FLOAT)
  # The header where CMAKE_PREFIX_PATH or the system has it, else where its
  # CMake package (FastFloat_DIR) says.
  find_path(VESK_FAST_FLOAT_INCLUDE_DIR fast_float/fast_float.h)
  if(NOT VESK_FAST_FLOAT_INCLUDE_DIR)
    find_package(FastFloat CONFIG QUIET)
    if(TARGET FastFloat::fast_float)
      get_target_property(include_dirs FastFloat::fast_float INTERFACE_INCLUDE_DIRECTORIES)
      set(VESK_FAST_FLOAT_INCLUDE_DIR ${include_dirs} CACHE PATH
        "The folder holding fast_float/fast_float.h" FORCE)
    endif()
  endif()
endif()
if(VESK_FAST_FLOAT AND VESK_FAST_FLOAT_INCLUDE_DIR)
  message(STATUS "Decimal conversion: fast_float from ${VESK_FAST_FLOAT_INCLUDE_DIR}")
  # A system include: warnings in its headers are not ours to fix.
  target_include_directories(vesk_pure SYSTEM PRIVATE ${VESK_FAST_FLOAT_INCLUDE_DIR})
  set_source_files_properties(${VESK_DECIMAL_SOURCE} PROPERTIES
    COMPILE_DEFINITIONS VESK_HAVE_FAST_FLOAT=1)
else()
  check_cxx_source_compiles(
    "#include <charconv>
     int main() { double v = 0; const char t[] = \"0.5\";
       return std::from_chars(t, t + 3, v, std::chars_format::general).ptr == t; }"
    VESK_HAVE_FLOAT_FROM_CHARS)
  if(NOT VESK_HAVE_FLOAT_FROM_CHARS)
    message(FATAL_ERROR "Neither fast_float nor a floating-point std::from_chars was found "
      "(${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}). ${VESK_DECIMAL_HELP}")
  endif()
  message(STATUS "Decimal conversion: the standard library's std::from_chars")
endif()
