# Benchmarks (host only), outside the default build:
#   cmake --build <dir> --target rebuild_bench && <dir>/bench/rebuild_bench
# The delta code is compiled here again with -O2 so the figures do not depend
# on the build type of the tree; the test encoder generates the deltas.
add_executable(rebuild_bench EXCLUDE_FROM_ALL
  ${SP_ROOT}/bench/rebuild_bench.cpp
  ${SP_ROOT}/delta/rebuild.cpp
  ${SP_ROOT}/delta/rebuild_file.cpp
  ${SP_ROOT}/delta/rebuild_memory.cpp
  ${SP_ROOT}/delta/crc32.cpp
  ${SP_ROOT}/tests/support/test_encoder.cpp)
sp_target_defaults(rebuild_bench)
target_include_directories(rebuild_bench PRIVATE ${SP_ROOT}/tests)
target_compile_options(rebuild_bench PRIVATE -O2)
target_link_libraries(rebuild_bench PRIVATE selfpatch_platform ${SP_ZLIB})
set_target_properties(rebuild_bench PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
