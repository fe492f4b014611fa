#!/usr/bin/env bash
# Installs the Debian packages named in the given list files that are not
# installed yet. Safe to run with no terminal; needs root (or sudo) only when
# something is missing.
set -euo pipefail

missing=()
for list in "$@"; do
    while read -r pkg; do
        pkg=${pkg%%#*}
        pkg=${pkg//[[:space:]]/}
        [ -n "$pkg" ] || continue
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        [ "$status" = "install ok installed" ] || missing+=("$pkg")
    done < "$list"
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
