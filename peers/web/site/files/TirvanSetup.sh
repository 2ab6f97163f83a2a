#!/bin/sh
# Stands for the installer of a newer Tirvan: it installs nothing and leaves a mark, one
# line per run, in $TIRVAN_INSTALLER_MARK or beside itself.
mark="${TIRVAN_INSTALLER_MARK:-$(dirname "$0")/installer-ran}"
echo "installer ran $(date -u +%Y-%m-%dT%H:%M:%SZ) with: $*" >> "$mark"
