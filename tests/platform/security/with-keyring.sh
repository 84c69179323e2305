#!/bin/sh
# Runs a command inside a private D-Bus session with its own gnome-keyring-daemon, whose
# keyrings live in a temporary home, so tests never touch the user's keyring.
# Where no daemon can be started, the command still runs, with VX_KEYRING_UNAVAILABLE set to
# the reason, so the test can skip and say why.
set -u

if [ $# -eq 0 ]; then
  echo "usage: with-keyring.sh COMMAND [ARG...]" >&2
  exit 2
fi

for tool in dbus-run-session dbus-send gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    VX_KEYRING_UNAVAILABLE="$tool is not installed"
    export VX_KEYRING_UNAVAILABLE
    exec "$@"
  fi
done

home=$(mktemp -d "${TMPDIR:-/tmp}/vx-keyring-XXXXXX") || exit 1
trap 'rm -rf "$home"' EXIT INT TERM
HOME=$home
XDG_DATA_HOME=$home/data
XDG_CONFIG_HOME=$home/config
XDG_CACHE_HOME=$home/cache
XDG_RUNTIME_DIR=$home/run
export HOME XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# Inside the session: start the daemon with a fresh, unlocked login keyring, wait until it owns
# the Secret Service name, run the command, then stop the daemon.
dbus-run-session -- sh -c '
  echo vx-test-password | gnome-keyring-daemon --foreground --unlock --components=secrets \
    >"$HOME/keyring.log" 2>&1 &
  daemon=$!
  ready=""
  i=0
  while [ $i -lt 100 ]; do
    if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
         org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
       grep -q "boolean true"; then
      ready=yes
      break
    fi
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.1
    i=$((i + 1))
  done
  if [ -z "$ready" ]; then
    VX_KEYRING_UNAVAILABLE="gnome-keyring-daemon did not start: $(tr "\n" " " <"$HOME/keyring.log")"
    export VX_KEYRING_UNAVAILABLE
  fi
  "$@"
  status=$?
  kill "$daemon" 2>/dev/null
  wait "$daemon" 2>/dev/null
  exit $status
' vx-with-keyring "$@"
