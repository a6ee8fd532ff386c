#!/bin/sh
# deps.sh [--log FILE] - installs what the builds, the tests and the
# scenario runners need (Debian, as root).  Quick and silent when
# everything is there.  When it must install, it says so at once; with
# --log the package manager's output goes to FILE instead of the screen.
set -e
[ "$(id -u)" = 0 ] || { echo "deps.sh: run as root" >&2; exit 1; }
LOG=
if [ "$1" = --log ] && [ -n "$2" ]; then LOG=$2; : >"$LOG"; fi

PKGS="cmake g++ make googletest libgtest-dev mingw-w64 wine wine32 wine64 xvfb
      qemu-user-static python3 clang libclang-rt-14-dev imagemagick x11-apps util-linux"
PKGS="$PKGS fonts-wine"  # MS Sans Serif and Marlett for the Wine prefixes (only recommended by Wine)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    NEED_UPDATE=1
fi
missing=""
for p in $PKGS; do
    case $p in wine32) q=wine32:i386 ;; *) q=$p ;; esac
    dpkg-query -W -f='${Status}\n' "$q" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $q"
done
if [ -n "$missing" ] || [ -n "$NEED_UPDATE" ]; then
    list=$(echo $missing)
    [ ${#list} -le 60 ] || list="$(echo "$list" | cut -c1-56) ..."
    echo "deps.sh: installing $(echo $missing | wc -w) packages ($list), about two minutes the first time${LOG:+; log: $LOG}"
    if [ -n "$LOG" ]; then
        { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing; } >>"$LOG" 2>&1 ||
            { echo "deps.sh: the installation failed; the end of $LOG:" >&2; tail -n 20 "$LOG" >&2; exit 1; }
    else
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
    fi
    echo "deps.sh: installed"
fi

# 32-bit programs (Wine's 32-bit loader): where the kernel cannot run them,
# let qemu run them.  binfmt_misc is asked before the kernel's own loader,
# so the entry is added only when a 32-bit program fails to start without it.
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > /proc/sys/fs/binfmt_misc/register
    echo "deps.sh: 32-bit programs run under qemu-i386-static (the Wine runner uses a 64-bit prefix then)"
fi

# The Wine runner runs Wine as this unprivileged user: root may write a file
# without write permission, a program on Windows may not.  Two runs of this
# script at once may both try to add it; the second finds it there.
WINE_USER=${REDIRECTOR_WINE_USER:-redirwine}
if ! getent passwd "$WINE_USER" >/dev/null; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin --comment "Wine runner of the redirector tests" "$WINE_USER" \
        2>/dev/null || getent passwd "$WINE_USER" >/dev/null
    echo "deps.sh: added the user $WINE_USER, who runs Wine in the tests"
fi
exit 0
