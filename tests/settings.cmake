# Settings store, setup fields, operator settings and list layouts.
vistrel_add_test(registry_test unit/registry_test.cpp LIBS vistrel_settings)
vistrel_add_test(settings_test unit/settings_test.cpp LIBS vistrel_settings)
vistrel_add_test(list_layout_test unit/list_layout_test.cpp LIBS vistrel_settings)
vistrel_add_test(setup_fields_test unit/setup_fields_test.cpp LIBS vistrel_settings)
