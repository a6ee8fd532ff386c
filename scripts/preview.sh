#!/usr/bin/env bash
# A preview for a site administrator: the real install.exe run silently, with
# an install script, on a throw-away copy of the keys each PC's registry
# export holds (under Wine, or the native stand-in with --host), and what it
# would do there: the COM name and I/O range or port number, the entries,
# the boxes.  The PCs themselves are never touched.
#   scripts/preview.sh --machine PC.reg [--machine MORE.reg]... [--script SETUP.TXT]
#                      [--version NAME] [--com COM1,COM3] [--host]
#   scripts/preview.sh --site DIR [--jobs N] [--csv FILE] [--keep DIR] [--script SETUP.TXT] [--host]
# Installs and builds what it needs first, as scripts/demo.sh does; exit
# status as scripts/demo.sh's (for --site: bit 1 an error box, bit 2 a
# machine not previewed).
set -euo pipefail
case " $* " in
*" --machine "* | *" --machine="* | *" --site "* | *" --site="* | *" -h "* | *" --help "*) ;;
*)
    echo "usage: scripts/preview.sh --machine PC.reg [--machine MORE.reg]... | --site DIR [options]" >&2
    echo "scripts/preview.sh: error: give the PCs to preview (-h lists the options;" \
         "scripts/demo.sh runs the default machines)" >&2
    exit 2 ;;
esac
exec "$(dirname "$0")/demo.sh" --as preview "$@"
