# Fuzz targets of the core data: payload verification and the packet field readers.
vistrel_add_fuzzer(fuzz_verify_payload ${CMAKE_CURRENT_LIST_DIR}/fuzz_verify_payload.cpp
  LIBS vistrel_core_data)
vistrel_add_fuzzer(fuzz_packet_readers ${CMAKE_CURRENT_LIST_DIR}/fuzz_packet_readers.cpp
  LIBS vistrel_core_data vistrel_console_lists)
