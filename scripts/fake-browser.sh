#!/bin/sh
# Stands in for the web browser in the test prefix: Wine's browser launcher
# runs it with the address to open, and it only notes that address in
# C:\harbinel-browser.log, where the end-to-end tests read it.
printf '%s\n' "$*" >>"$WINEPREFIX/drive_c/harbinel-browser.log"
