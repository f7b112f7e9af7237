#!/bin/sh
# Runs a command on a private session bus whose Secret Service is a GNOME keyring, unlocked,
# with its files in a temporary home that is removed afterwards.
set -eu
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export HOME="$root/home"
export XDG_DATA_HOME="$HOME/.local/share"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_RUNTIME_DIR="$root/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
dbus-run-session -- sh -c 'printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@"
