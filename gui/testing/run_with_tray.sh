#!/bin/sh
# run_with_tray.sh PROGRAM [ARGS...]: runs PROGRAM on a private X server that has a
# notification area, so that the window's tray icon has a place to go.
set -eu
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  trayer --SetDockType true --expand false >/dev/null 2>&1 &
  tray=$!
  QT_QPA_PLATFORM=xcb "$@"
  status=$?
  kill "$tray" 2>/dev/null || true
  exit "$status"
' run_with_tray "$@"
