#!/usr/bin/env bash
# Runs the i386 Python 3.11 of build/i386-root under qemu-i386.
ROOT=$(cd "$(dirname "$0")/../.." && pwd)/build/i386-root
exec qemu-i386 -L "$ROOT" "$ROOT/usr/bin/python3.11" "$@"
