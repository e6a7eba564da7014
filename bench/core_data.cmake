# Payload verification against a bare inflate+crc32 loop, and the memory a
# stored packet costs.
add_executable(bench_verify ${CMAKE_CURRENT_LIST_DIR}/bench_verify.cpp)
target_link_libraries(bench_verify PRIVATE vistrel_core_data benchmark::benchmark ZLIB::ZLIB)
add_executable(store_memory ${CMAKE_CURRENT_LIST_DIR}/store_memory.cpp)
target_link_libraries(store_memory PRIVATE vistrel_core_data)
