#!/bin/sh
# Runs a command against a Secret Service of its own: a private D-Bus session
# bus with a fresh, unlocked gnome-keyring-daemon whose home, data and runtime
# directories lie in a temporary directory that is removed afterwards.
# Usage: tests/with-secret-service.sh command [arguments...]
# The command's exit status is the script's.
set -eu

if [ "$#" -eq 0 ]; then
  echo "usage: $0 command [arguments...]" >&2
  exit 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/secret-service.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 143' INT TERM
mkdir -p "$scratch/home/.local/share" "$scratch/home/.config" "$scratch/run"
chmod 700 "$scratch/run"
export HOME="$scratch/home"
export XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_CONFIG_HOME="$scratch/home/.config"
export XDG_RUNTIME_DIR="$scratch/run"
unset GNOME_KEYRING_CONTROL SSH_AUTH_SOCK DBUS_SESSION_BUS_ADDRESS

status=0
dbus-run-session -- sh -c '
  # The unlock password comes from standard input; the keyring is throw-away.
  printf "throwaway\n" | gnome-keyring-daemon --foreground --unlock --components=secrets \
      >"$XDG_RUNTIME_DIR/keyring.log" 2>&1 &
  daemon=$!
  tries=0
  until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
          org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null \
        | grep -q "boolean true"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 "$daemon" 2>/dev/null; then
      echo "with-secret-service: gnome-keyring-daemon did not start" >&2
      cat "$XDG_RUNTIME_DIR/keyring.log" >&2
      kill "$daemon" 2>/dev/null
      exit 125
    fi
    sleep 0.05
  done
  code=0
  "$@" || code=$?
  kill "$daemon" 2>/dev/null
  wait "$daemon" 2>/dev/null
  exit "$code"
' with-secret-service "$@" || status=$?
exit "$status"
