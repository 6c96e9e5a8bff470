#!/bin/sh
# Runs the restored program next to this script.
cd "$(dirname "$0")" && ./bin/hello "${1:-world}"
