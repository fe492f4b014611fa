#!/usr/bin/env bash
# Builds Debug with ThreadSanitizer into build/tsan and runs every test;
# exits non-zero on any failure or data-race report. Arguments go to ctest
# (e.g. -R '^rtmp\.').
QEN_SANITIZE=thread exec "$(dirname "$0")/../test.sh" "$@"
