#!/bin/sh
# The strip the package build installs with (CMAKE_STRIP): as Debian's
# packages are stripped, without the compilers' .comment and .note notes.
exec strip --remove-section=.comment --remove-section=.note --strip-unneeded "$@"
