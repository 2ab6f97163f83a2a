#!/bin/sh
# Stands for the installer of a newer Tirvan: it installs nothing and leaves a mark, one
# line per run, in $TIRVAN_INSTALLER_MARK or in the folder it is started in (the tray
# program starts it in its data folder, from a sealed copy of the checked file).
mark="${TIRVAN_INSTALLER_MARK:-installer-ran}"
echo "installer ran $(date -u +%Y-%m-%dT%H:%M:%SZ) with: $*" >> "$mark"
