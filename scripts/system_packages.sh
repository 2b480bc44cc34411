#!/bin/bash
# The Debian packages that the suite drives for real: Mosquitto (the live
# tests' broker), Chromium (the map's browser tests), Node.js (pyright) and
# systemd (systemd-analyze checks the service unit).
# Installs whichever is missing with apt-get when this runs as root;
# otherwise says which tests will skip. With --strict a package that cannot
# be installed is an error.
set -u
missing=()
command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ] || missing+=(mosquitto)
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v systemd-analyze >/dev/null 2>&1 || missing+=(systemd)
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing ${missing[*]} with apt-get for the live, browser, stub and unit tests (a minute or two)"
    if apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
        exit 0
    fi
fi
echo "warning: ${missing[*]} not installed: the tests that need them will skip" >&2
[ "${1:-}" = --strict ] && exit 1
exit 0
