#!/usr/bin/env bash
# Follows the README's steps for setting up the supervisor ("Setting up the
# supervisor": the sh blocks between its two comments) in a clean Debian 12
# tree, as a new user would on a new machine, and checks the result: the
# four children run, and the administration site's PHP reaches MariaDB
# through the site's account, over the socket and over TCP.
#
#   scripts/supervisor-from-readme.sh [CACHE]
#
# CACHE (default build/debian12 in the checkout) keeps the tree that
# debootstrap makes (from DEBIAN_MIRROR, default http://deb.debian.org/debian)
# and, inside it, the checkout's copy with its build: a later run installs
# and builds only what changed. Each run copies the checkout's files afresh
# and makes the installation root anew.
#
# Needs root, debootstrap and unshare. The servers run in a network
# namespace of their own when one can be made (only loopback there), on
# ports this script picks in the root's lumo.xml either way, as the README's
# last step lets a user edit it. Exits 77 (a skipped test) when the tree
# cannot be made here: not root, no debootstrap, the mirror out of reach.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-$checkout/build/debian12}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
tree=$cache/tree
source_copy=/root/qen   # the checkout's copy, inside the tree
installation=/srv/lumo  # the README's root

skip() {
    echo "$0: skipped: $*" >&2
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "needs root"
for program in debootstrap unshare chroot curl python3; do
    command -v "$program" >/dev/null || skip "$program is missing"
done

mkdir -p "$cache"
# One run at a time per cache: the tree and its copy are shared.
exec 9>"$cache/lock"
flock 9

if [ ! -e "$tree/.made" ]; then
    curl -sfI --max-time 30 "$mirror/dists/bookworm/Release" >/dev/null ||
        skip "$mirror is out of reach"
    rm -rf "$tree.new"
    echo "Making a Debian 12 tree in $tree"
    debootstrap --variant=minbase bookworm "$tree.new" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
        tail -20 "$cache/debootstrap.log" >&2
        echo "$0: debootstrap failed" >&2
        exit 1
    }
    echo "deb $mirror bookworm main" >"$tree.new/etc/apt/sources.list"
    # Packages start no services in the tree.
    printf '#!/bin/sh\nexit 101\n' >"$tree.new/usr/sbin/policy-rc.d"
    chmod 0755 "$tree.new/usr/sbin/policy-rc.d"
    touch "$tree.new/.made"
    rm -rf "$tree"
    mv "$tree.new" "$tree"
fi

# The checkout's files (its build and git data left out) over the copy of
# the last run; the copy's own build stays, and files keep their times, so
# that only what changed is built again.
mkdir -p "$tree$source_copy"
find "$tree$source_copy" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
(
    cd "$checkout"
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                [ -e "$file" ] && printf '%s\0' "$file"
            done | tar --null -T - -cf -
    else
        tar --exclude=./build --exclude=./.git -cf - .
    fi
) | tar -xf - -C "$tree$source_copy"

# The steps, from the README.
steps=$cache/steps.sh
python3 - "$checkout/README.md" >"$steps" <<'PYTHON'
import re
import sys
text = open(sys.argv[1], encoding="utf-8").read()
begin = text.index("<!-- The steps below are what scripts/supervisor-from-readme.sh runs")
end = text.index("<!-- End of the steps. -->", begin)
blocks = re.findall(r"```sh\n(.*?)```", text[begin:end], re.S)
commands = [line.strip() for block in blocks for line in block.splitlines() if line.strip()]
if len(commands) < 2:
    sys.exit("supervisor-from-readme.sh: no steps found in README.md")
print("set -ex")
for command in commands[:-1]:
    print(command)
# The last step runs the supervisor in the terminal, until it is stopped.
print("echo \"$(" + "cat <<'LAST'\n" + commands[-1] + "\nLAST\n)\" >/tmp/supervisor-command")
PYTHON
cp "$steps" "$tree/tmp/steps.sh"

# Runs a command in the tree: /proc, /dev and /sys mounted in a mount
# namespace of its own, which takes them away when it ends.
in_tree() {
    local namespaces=(--mount --fork)
    local own_network=0
    if [ "$1" = --own-network ]; then
        namespaces+=(--net --pid --mount-proc="$tree/proc")
        own_network=1
        shift
    fi
    OWN_NETWORK=$own_network unshare "${namespaces[@]}" /bin/bash -c '
        set -e
        tree=$1
        shift
        mountpoint -q "$tree/proc" || mount -t proc proc "$tree/proc"
        mount --rbind /dev "$tree/dev"
        mount -t sysfs sysfs "$tree/sys"
        if [ "$OWN_NETWORK" = 1 ]; then
            ip link set lo up
        fi
        exec chroot "$tree" /usr/bin/env -i HOME=/root TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
    ' in-tree "$tree" "$@"
}

echo "Following the README's steps in $tree"
in_tree /bin/bash -c "cd $source_copy && rm -rf $installation && bash /tmp/steps.sh" \
    >"$cache/steps.log" 2>&1 || {
    tail -40 "$cache/steps.log" >&2
    echo "$0: a step of the README failed (the whole log: $cache/steps.log)" >&2
    exit 1
}

# The last step, with the checks, in a network namespace of the tree's own
# when one can be made: nothing there but loopback.
own_network=
if unshare --net true 2>/dev/null; then
    own_network=--own-network
fi
cat >"$tree/tmp/run-and-check.sh" <<'CHECK'
set -euo pipefail
installation=$1
source_copy=$2
config=$installation/lumo.xml

# The ports: free ones, written into lumo.xml as a user would edit it, and
# no RTMFP (its NAT detection would take two more).
python3 - "$config" <<'PYTHON'
import re
import socket
import sys

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def put(text, path, value):
    # The first element of that name inside the first of each one before it.
    *outer, name = path
    before = "".join(r"<%s>.*?" % element for element in outer)
    return re.sub(r"(%s)<%s>[^<]*</%s>" % (before, name, name),
                  lambda m: "%s<%s>%s</%s>" % (m.group(1), name, value, name), text,
                  count=1, flags=re.S)

config = sys.argv[1]
text = open(config, encoding="utf-8").read()
ports = set()
while len(ports) < 6:
    ports.add(free_port())
keys = [("qen", "rtmp", "port"), ("lumo", "server_admin_ipc_port"),
        ("lumo", "http_streaming_port"), ("lumo", "web_admin_port"),
        ("lumo", "web_admin_ssl_port"), ("lumo", "mysql_port")]
for key, port in zip(keys, sorted(ports)):
    text = put(text, key, port)
text = put(text, ("qen", "rtmfp", "disabled"), 1)
open(config, "w", encoding="utf-8").write(text)
PYTHON
value() {
    python3 -c 'import sys, xml.etree.ElementTree as E; print(E.parse(sys.argv[1]).getroot().find(sys.argv[2]).text or "")' "$config" "$2"
}
web_admin=$(value "$config" lumo/web_admin_port)
streaming=$(value "$config" lumo/http_streaming_port)
mysql_port=$(value "$config" lumo/mysql_port)
rtmp=$(value "$config" qen/rtmp/port)
password=$(value "$config" lumo/mysql_password)

cd "$source_copy"
command=$(cat /tmp/supervisor-command)
echo "+ $command"
bash -c "exec $command" >/tmp/supervisor.log 2>&1 &
supervisor=$!

stop() {
    kill -TERM "$supervisor" 2>/dev/null || true
    local waited=0
    while kill -0 "$supervisor" 2>/dev/null && [ $waited -lt 120 ]; do
        sleep 1
        waited=$((waited + 1))
    done
}
fail() {
    echo "FAILED: $*"
    echo "--- the supervisor's output"
    cat /tmp/supervisor.log
    stop
    exit 1
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
for port in "$web_admin" "$mysql_port" "$streaming" "$rtmp"; do
    for _ in $(seq 120); do
        listening "$port" && break
        kill -0 "$supervisor" 2>/dev/null || fail "the supervisor ended"
        sleep 1
    done
    listening "$port" || fail "nothing listens on $port"
done

# A page of the site that queries its database through the site's account,
# as the site's own pages would.
cat >"$installation/htdocs/database-check.php" <<PHP
<?php
mysqli_report(MYSQLI_REPORT_ERROR | MYSQLI_REPORT_STRICT);
foreach (['socket' => 'localhost', 'tcp' => '127.0.0.1'] as \$way => \$host) {
    \$db = new mysqli(\$host, 'lumo', '$password', 'lumo', $mysql_port);
    \$db->query('CREATE TABLE IF NOT EXISTS visits (way VARCHAR(8))');
    \$db->query("INSERT INTO visits VALUES ('\$way')");
    \$count = \$db->query("SELECT COUNT(*) FROM visits WHERE way = '\$way'")->fetch_row()[0];
    echo "\$way " . (\$count > 0 ? 'ok' : 'empty') . "\n";
}
PHP
chmod 0644 "$installation/htdocs/database-check.php"
answer=$(curl -s --max-time 30 "http://127.0.0.1:$web_admin/database-check.php" || true)
echo "$answer"
[ "$answer" = "$(printf 'socket ok\ntcp ok')" ] || fail "the site did not reach its database: $answer"

status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 "http://127.0.0.1:$streaming/media/live/.flaccess" || true)
[ "$status" = 403 ] || fail "the streaming server answered $status for a settings file"

stop
if kill -0 "$supervisor" 2>/dev/null; then
    fail "the supervisor did not stop"
fi
wait "$supervisor" || fail "the supervisor ended with $?"
echo "The README's supervisor works"
CHECK

echo "Running the supervisor in $tree"
in_tree $own_network /bin/bash /tmp/run-and-check.sh \
    "$installation" "$source_copy" >"$cache/run.log" 2>&1 || {
    cat "$cache/run.log" >&2
    echo "$0: the supervisor set up by the README does not work" >&2
    exit 1
}
tail -3 "$cache/run.log"
