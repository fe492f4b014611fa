#!/usr/bin/env bash
# Makes, or completes, an installation root of the supervisor lumo:
#
#   conf/                the configuration templates, copied when missing:
#                        edit them there; lumo renders them into place each
#                        time it starts a child
#   bin/qen              the media server
#   mysql/bin/mariadbd   the database server; mysql/data its data (made with
#                        mariadb-install-db when missing), mysql/run its
#                        socket and pid file, mysql/my.ini its rendered file
#   apache/bin/apache2   the web server of both sites; apache/modules its
#                        modules, apache/conf its rendered files, apache/logs,
#                        apache/run, apache/htdocs (empty: the streaming site
#                        serves its virtual directories only)
#   php/                 the rendered php.ini
#   htdocs/              the web administration site
#   lumo.xml             the supervisor's configuration: conf/lumo.xml made
#                        for this root, when missing: edit it there
#
# and the folders of lumo.xml's domains and virtual directories, when
# missing, with the settings files (.flaccess) that keep publishers out of
# every folder but the channels the administration site makes: a domain's
# root folder and a virtual directory's folder take no publisher, nor do the
# virtual directory's live and vod folders (where only a channel of live may
# turn it on for itself). Settings files that are there stay as they are.
#
# Programs are linked, not copied. Folders are 0755: the web servers' workers
# run as www-data and read them (so must every folder above the root).
#
# Usage: scripts/lumo-root.sh [--qen PROGRAM] [--mariadbd PROGRAM]
#                             [--apache2 PROGRAM] ROOT
# By default qen is the Release build's (build/release/qen/qen, see run.sh)
# and the others are Debian's.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    echo "Usage: $0 [--qen PROGRAM] [--mariadbd PROGRAM] [--apache2 PROGRAM] ROOT" >&2
    exit 2
}

absolute() {
    case $1 in
        /*) echo "$1" ;;
        *) echo "$PWD/$1" ;;
    esac
}

qen=$checkout/build/release/qen/qen
mariadbd=/usr/sbin/mariadbd
apache2=/usr/sbin/apache2
apache_modules=/usr/lib/apache2/modules
mime_types=/etc/mime.types

while [ $# -gt 0 ]; do
    case $1 in
        --qen | --mariadbd | --apache2)
            [ $# -ge 2 ] || usage
            declare "${1#--}=$(absolute "$2")"
            shift 2
            ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -eq 1 ] || usage

for program in "$qen" "$mariadbd" "$apache2"; do
    if [ ! -x "$program" ]; then
        echo "$0: $program is not an executable program" >&2
        exit 1
    fi
done
if ! command -v python3 >/dev/null; then
    echo "$0: python3 is missing (see scripts/packages.txt)" >&2
    exit 1
fi

mkdir -p "$1"
root=$(cd "$1" && pwd)

folders=(. conf bin php htdocs mysql mysql/bin mysql/run apache apache/bin apache/conf
    apache/logs apache/run apache/run/admin apache/run/stream apache/htdocs)
folders=("${folders[@]/#/$root/}")
mkdir -p "${folders[@]}"
chmod 0755 "${folders[@]}"

# Copies of the templates that are there already may have been edited.
templates=()
for template in "$checkout"/lumo/templates/{.htaccess,*}; do
    [ -e "$root/conf/${template##*/}" ] || templates+=("$template")
done
if [ ${#templates[@]} -gt 0 ]; then
    cp "${templates[@]}" "$root/conf/"
    chmod 0644 "${templates[@]/#*\//$root/conf/}"
fi

config=$root/lumo.xml
if [ ! -e "$config" ]; then
    # Made aside and moved into place; only its owner reads it (it holds
    # passwords).
    (
        umask 077
        python3 - "$checkout/conf/lumo.xml" "$config.new" "$root" <<'PYTHON'
import secrets
import sys
from xml.sax.saxutils import escape
example, target, root = sys.argv[1:]
with open(example, encoding="utf-8") as source:
    text = source.read().replace("/srv/lumo", escape(root))
# The site's database account gets a password of its own.
empty = "<mysql_password></mysql_password>"
text = text.replace(empty, "<mysql_password>" + secrets.token_urlsafe(18) + "</mysql_password>")
with open(target, "w", encoding="utf-8") as out:
    out.write(text)
PYTHON
    )
    mv "$config.new" "$config"
fi

# The folders the configuration names, with their publishing rules.
python3 - "$config" <<'PYTHON'
import os
import sys
import xml.etree.ElementTree as ElementTree


def settings(body):
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            "<config><qen_app>" + body + "</qen_app></config>")


NO_PUBLISHING = settings("<allow_publish>0</allow_publish>")
LIVE = settings("<allow_publish>0</allow_publish><allow_play>1</allow_play>")
VOD = settings("<allow_publish>0<allow_override>0</allow_override></allow_publish>"
               "<allow_play>1</allow_play>")


def folder(path, rules):
    if not os.path.isdir(path):
        os.makedirs(path)
        os.chmod(path, 0o755)
    file = os.path.join(path, ".flaccess")
    if not os.path.lexists(file):
        with open(file, "x", encoding="utf-8") as out:
            out.write(rules)


def text(element, name):
    child = element.find(name)
    return child.text.strip() if child is not None and child.text else ""


config = sys.argv[1]
domains = ElementTree.parse(config).getroot().find("qen/domains")
for domain in [] if domains is None else domains:
    places = [(text(domain, "path"), False)]
    places += [(text(d, "path"), True) for d in domain.findall("virtual_dirs/*")]
    for path, is_virtual_dir in places:
        if not os.path.isabs(path):
            print(f"lumo-root.sh: {config}: {path!r} is not an absolute path: left alone",
                  file=sys.stderr)
            continue
        folder(path, NO_PUBLISHING)
        if is_virtual_dir:
            folder(os.path.join(path, "live"), LIVE)
            folder(os.path.join(path, "vod"), VOD)
PYTHON

ln -sfn "$qen" "$root/bin/qen"
ln -sfn "$mariadbd" "$root/mysql/bin/mariadbd"
ln -sfn "$apache2" "$root/apache/bin/apache2"
ln -sfn "$apache_modules" "$root/apache/modules"
ln -sfn "$mime_types" "$root/apache/conf/mime.types"

if [ ! -d "$root/mysql/data" ]; then
    # The administration site's account: the database lumo, from the
    # socket (localhost) and from 127.0.0.1, with config.lumo.mysql_password.
    # Accounts are named by address, never by host name: neither the data
    # folder's making nor the server looks a name up.
    account_sql=$root/mysql/site-account.sql
    (
        umask 077
        python3 - "$config" >"$account_sql" <<'PYTHON'
import sys
import xml.etree.ElementTree as ElementTree
config = sys.argv[1]
element = ElementTree.parse(config).getroot().find("lumo/mysql_password")
password = element.text if element is not None and element.text else ""
if not password:
    sys.exit(f"lumo-root.sh: {config}: config.lumo.mysql_password is empty: "
             "the site's database account takes it")
literal = "'" + password.replace("\\", "\\\\").replace("'", "''") + "'"
# The grant tables are loaded first: the bootstrap runs without them.
print("FLUSH PRIVILEGES;")
print("CREATE DATABASE IF NOT EXISTS lumo CHARACTER SET utf8mb4;")
for host in ("localhost", "127.0.0.1"):
    print(f"CREATE USER 'lumo'@'{host}' IDENTIFIED BY {literal};")
    print(f"GRANT ALL PRIVILEGES ON lumo.* TO 'lumo'@'{host}';")
PYTHON
    )
    # The database server refuses to run as root unless told to.
    as_user=()
    if [ "$(id -u)" -eq 0 ]; then
        as_user=(--user=root)
    fi
    # Made aside and moved into place, so that a failed run leaves no data
    # folder that the next run would take for a good one.
    rm -rf "$root/mysql/data.new" "$root/mysql/install-tmp"
    log=$root/mysql/install-db.log
    # The bootstrap's temporary tables go to a folder of this root's own: in
    # the shared /tmp, bootstraps running at the same time (other roots being
    # made) lose each other's tables and fail.
    mkdir "$root/mysql/install-tmp"
    # --force: no look-up of the machine's own name either, which fails
    # where it has no hosts entry.
    if ! TMPDIR=$root/mysql/install-tmp mariadb-install-db "${as_user[@]}" \
        --datadir="$root/mysql/data.new" --skip-test-db \
        --skip-name-resolve --force --extra-file="$account_sql" >"$log" 2>&1; then
        cat "$log" >&2
        rm -rf "$account_sql" "$root/mysql/install-tmp"
        echo "$0: mariadb-install-db failed" >&2
        exit 1
    fi
    rm -rf "$account_sql" "$root/mysql/install-tmp"
    mv "$root/mysql/data.new" "$root/mysql/data"
fi
