# vistrel_settings: setup fields, registry store, settings and list layouts.
