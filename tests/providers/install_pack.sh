#!/bin/sh
# Stands in for the package installer: records its arguments in QY_TEST_INSTALL_LOG; "--fail"
# makes it fail, otherwise it creates the mode file QY_TEST_NEW_MODE in QY_TEST_MODES_DIR.
printf '%s\n' "$@" >> "$QY_TEST_INSTALL_LOG"
[ "$1" = "--fail" ] && exit 4
[ -n "$QY_TEST_NEW_MODE" ] && : > "$QY_TEST_MODES_DIR/$QY_TEST_NEW_MODE.mode"
exit 0
