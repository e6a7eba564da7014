# vistrel_core_data: wire protocol, game registry, payload verification.
