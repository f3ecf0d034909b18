#!/bin/sh
# Runs a command on the X server of $DISPLAY with openbox managing its
# windows, as on an operator's desktop: focus, activation and the keys that
# xdotool sends go where a window manager sends them.
#   with_window_manager.sh COMMAND [ARGUMENTS...]
openbox --sm-disable --config-file /dev/null >/dev/null 2>&1 &
wm=$!
# The window manager is up once it has claimed the root window.
tries=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then
    echo "with_window_manager: openbox did not start" >&2
    kill "$wm" 2>/dev/null
    exit 1
  fi
  sleep 0.1
done
"$@"
status=$?
kill "$wm" 2>/dev/null
wait "$wm" 2>/dev/null
exit "$status"
