# PCRE2 from an install prefix (VESK_PCRE2_ROOT) instead of pkg-config: its
# header in include/ and its static library in lib/ (libpcre2-8.a, or
# pcre2-8-static.lib / pcre2-8.lib as PCRE2's own CMake build names it for
# MSVC). The release workflow builds one so on every platform.
find_path(VESK_PCRE2_INCLUDE_DIR pcre2.h PATHS ${VESK_PCRE2_ROOT}/include NO_DEFAULT_PATH)
find_library(VESK_PCRE2_ARCHIVE NAMES libpcre2-8.a pcre2-8-static pcre2-8
  PATHS ${VESK_PCRE2_ROOT}/lib ${VESK_PCRE2_ROOT}/lib64 NO_DEFAULT_PATH)
if(NOT VESK_PCRE2_INCLUDE_DIR OR NOT VESK_PCRE2_ARCHIVE)
  message(FATAL_ERROR "PCRE2 was not found in VESK_PCRE2_ROOT (${VESK_PCRE2_ROOT}): it needs "
    "include/pcre2.h and the static library libpcre2-8.a or pcre2-8-static.lib in lib/. "
    "${VESK_PCRE2_HELP}")
endif()
message(STATUS "PCRE2: linked statically from ${VESK_PCRE2_ARCHIVE}")
add_library(vesk_pcre2 INTERFACE)
target_include_directories(vesk_pcre2 INTERFACE ${VESK_PCRE2_INCLUDE_DIR})
target_compile_definitions(vesk_pcre2 INTERFACE PCRE2_STATIC)
target_link_libraries(vesk_pcre2 INTERFACE ${VESK_PCRE2_ARCHIVE})
set(VESK_PCRE2_LINK vesk_pcre2)
