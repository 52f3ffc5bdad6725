# The suite drives the HTTPS self-test through quenlo-httpsselftest, a twin of the product's
# entry point that takes the origin and CA file on its command line (the product has no such
# switch). The twin is defined here; the suite learns its path and depends on it once the
# suite's own target exists, at the end of this folder.
add_executable(quenlo-httpsselftest ${CMAKE_CURRENT_SOURCE_DIR}/selftest/httpsselftest_main.cpp)
target_link_libraries(quenlo-httpsselftest PRIVATE quenlo_core)
cmake_language(DEFER CALL add_dependencies tst_httpsselftest quenlo-httpsselftest)
cmake_language(DEFER CALL target_compile_definitions tst_httpsselftest PRIVATE
  "QUENLO_HTTPSSELFTEST_BIN=\"$<TARGET_FILE:quenlo-httpsselftest>\"")
