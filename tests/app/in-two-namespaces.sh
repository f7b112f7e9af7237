#!/bin/sh
# Runs a command in a network namespace of its own, "desk" (lan0 10.98.0.1/24), joined by a veth
# pair to a second one, "devbox" (lan0 10.98.0.2/24, host name "devbox"), which a sleeping
# process holds; its id is in GLIMMET_DEVBOX_PID (nsenter -t ID -n -u runs a program there).
# Nothing leaves the machine. Exits 77 (skipped) where namespaces cannot be made (not root).
[ "$(id -u)" = 0 ] && unshare -n -u true 2>/dev/null || exit 77
exec unshare -n sh -c '
  ip link set lo up || exit 1
  unshare -n -u sh -c "hostname devbox && exec sleep infinity" &
  devbox=$!
  tries=0
  while [ "$(readlink /proc/$devbox/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do
    tries=$((tries + 1)); [ $tries -gt 250 ] && exit 1; sleep 0.02
  done
  if ! { ip link add lan0 type veth peer name lan1 && ip link set lan1 netns $devbox &&
         ip addr add 10.98.0.1/24 dev lan0 && ip link set lan0 up &&
         nsenter -t $devbox -n sh -c "ip link set lo up && ip link set lan1 name lan0 &&
           ip addr add 10.98.0.2/24 dev lan0 && ip link set lan0 up"; }; then
    kill $devbox; exit 1
  fi
  GLIMMET_DEVBOX_PID=$devbox "$@"; status=$?
  kill $devbox
  exit $status' sh "$@"
