# The settings file reader and writer.
vistrel_add_fuzzer(fuzz_registry_file fuzz_registry_file.cpp LIBS vistrel_settings)
