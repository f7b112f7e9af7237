#!/usr/bin/env bash
# Retakes docs/*.png (menu and popover) from the real widgets: an X server (Xvfb), the
# stand-in clock on a private network namespace's stand-in LAN, and ui-screenshots driving
# the clock through each scene. Run as root from the repository: BUILD defaults to build/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$repo/build}
if [ -z "${TAKE_SCREENSHOTS_INNER:-}" ]; then
    cmake --build "$build" --target ui-screenshots glimmet-clock-sim >/dev/null
    TAKE_SCREENSHOTS_INNER=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
ip link add en0 type veth peer name clk0
ip addr add 10.99.0.2/24 dev en0 && ip link set en0 up
ip addr add 10.99.0.77/24 dev clk0 && ip link set clk0 up

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
"$build/tools/clock-sim/glimmet-clock-sim" --listen 10.99.0.77:80 --bridge 10.99.0.2:8765 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
mkdir -p "$work/home"
env -u XDG_DATA_HOME -u XDG_CACHE_HOME HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    QT_QPA_PLATFORM=xcb DISPLAY=":$(head -n1 "$work/display")" \
    "$build/tools/screenshots/ui-screenshots" 10.99.0.77 "$repo/docs"
