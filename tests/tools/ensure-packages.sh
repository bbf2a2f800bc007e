#!/bin/sh
# Installs the named Debian packages that are not installed yet; does
# nothing (and touches no package list) when all are present.
set -eu
missing=
for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case $status in
    *" installed") ;;
    *) missing="$missing $pkg" ;;
    esac
done
[ -n "$missing" ] || exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
