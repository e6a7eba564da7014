# vistrel_console_lists: games list, user list, log lines.
