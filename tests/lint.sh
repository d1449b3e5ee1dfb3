#!/bin/sh
# Runs one checker over the sources and fails on any finding; where the
# checker is not installed the test is skipped (status 77) and says so.
tool=$1
if ! command -v "$tool" >/dev/null 2>&1; then
	echo "skipped: $tool is not installed"
	exit 77
fi
exec "$@"
