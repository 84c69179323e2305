#!/bin/sh
# Runs one test program under a private X server. Exit 77 (ctest: skipped) with the reason
# printed when no X server can be started here.
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIPPED: xvfb-run is not installed (package xvfb)"
  exit 77
fi
if ! xvfb-run -a -s "-screen 0 1280x1024x24" true >/dev/null 2>&1; then
  echo "SKIPPED: xvfb-run could not start an X server"
  exit 77
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
