#!/usr/bin/env bash
# Runs a test (all arguments after the first) on its own X server and private session bus; the
# test starts the stand-in StatusNotifierWatcher (the first argument, in TRAY_WATCHER) itself.
set -euo pipefail
if [ -z "${WITH_TRAY_HOST_INNER:-}" ]; then
    export WITH_TRAY_HOST_INNER=1
    exec dbus-run-session -- "$0" "$@"
fi
watcher=$1
shift
work=$(mktemp -d)

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids=($!)
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
export DISPLAY=":$(head -n1 "$work/display")"
export TRAY_WATCHER=$watcher
export QT_QPA_PLATFORM=xcb
"$@"
