# vistrel_relay: TMainForm and its handlers.
