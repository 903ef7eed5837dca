# Included by the top-level CMakeLists.txt when QB_SANITIZE is set; must come
# before the first target so every object, test and tool is instrumented alike.
if(QB_SANITIZE STREQUAL "address")
  # -fno-sanitize-recover: undefined behaviour stops the process like a bad
  # access does, so no report scrolls past unnoticed in a passing test.
  set(qb_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(QB_SANITIZE STREQUAL "thread")
  set(qb_sanitize_flags -fsanitize=thread)
else()
  message(FATAL_ERROR "QB_SANITIZE must be address or thread, not '${QB_SANITIZE}'")
endif()
add_compile_options(${qb_sanitize_flags} -fno-omit-frame-pointer)
add_link_options(${qb_sanitize_flags})

# The end-to-end harness starts the relay with a bare environment, so the
# sanitizer settings travel inside the binaries; ASAN_OPTIONS and friends
# still override them key by key.
set(QB_SANITIZER_REPORT_DIR "${CMAKE_BINARY_DIR}/sanitizer-reports" CACHE PATH
    "Where instrumented processes write their sanitizer reports")
file(MAKE_DIRECTORY ${QB_SANITIZER_REPORT_DIR})
add_library(qb_sanitizer_defaults OBJECT ${CMAKE_CURRENT_LIST_DIR}/report_defaults.cpp)
target_compile_definitions(qb_sanitizer_defaults PRIVATE
  QB_SANITIZER_REPORT_DIR="${QB_SANITIZER_REPORT_DIR}"
  QB_TSAN_SUPPRESSIONS="${CMAKE_CURRENT_LIST_DIR}/tsan.supp")
# The runtimes look the defaults up by symbol, which a static library member
# would never satisfy; linking the object into every target does.
link_libraries(qb_sanitizer_defaults)
