#!/bin/bash
# The Wine prefix that the Windows test programs run in, one per test run.
#
# usage: wine_prefix.sh setup | cleanup
#
#   setup    makes a fresh prefix, maps the COM ports, and leaves a persistent
#            wineserver with Wine's own service processes running, so that
#            no test pays for Wine's start.
#   cleanup  stops that wineserver and every Wine process of the prefix, those
#            a crashed server left behind included.
#
# Environment:
#   WINEPREFIX          the prefix directory (required). setup deletes what is
#                       there, but only if it looks like a Wine prefix.
#   KORMELT_WINE_COM3   path that COM3 leads to (required by setup). A test
#                       points it at its own pseudo-terminal while it runs.
#   KORMELT_WINE        Wine loader; default /usr/lib/wine/wine64, else wine.
#   KORMELT_WINESERVER  default: the wineserver next to the loader, else wineserver.
#   KORMELT_WINE32_ANSWER, KORMELT_WINE32_PROBE, KORMELT_WINE32
#                       when set, setup ends by asking whether this machine
#                       executes 32-bit programs: wine32_probe.sh runs the
#                       probe program with the 32-bit loader and writes the
#                       answer file that the i686 tests read.
#   WINEDEBUG, WINEDLLOVERRIDES  default to quiet and to no Mono, Gecko or
#                       desktop menu entries.
#
# COM1, COM2 and COM4 to COM9 are mapped to nothing. Wine gives /dev/ttyS0 the
# first COM number the registry leaves free, so all nine are listed; Wine
# still knows the empty ones as devices, but they lead to no line.
#
# Output of Wine during setup goes to $WINEPREFIX.setup.log, the server's to
# $WINEPREFIX.server.log.

set -u

STARTUP_CHECK_TRIES=50  # times 0.2 s: how long setup waits for the COM links

die() {
    echo "wine_prefix.sh: $*" >&2
    exit 1
}

: "${WINEPREFIX:?WINEPREFIX must name the prefix directory}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}"

if [ -z "${KORMELT_WINE:-}" ]; then
    if [ -x /usr/lib/wine/wine64 ]; then
        KORMELT_WINE=/usr/lib/wine/wine64
    else
        KORMELT_WINE=$(command -v wine) || die "no Wine loader found"
    fi
fi
if [ -z "${KORMELT_WINESERVER:-}" ]; then
    if [ -x "$(dirname "$KORMELT_WINE")/wineserver" ]; then
        KORMELT_WINESERVER="$(dirname "$KORMELT_WINE")/wineserver"
    else
        KORMELT_WINESERVER=$(command -v wineserver) || die "no wineserver found"
    fi
fi

SETUP_LOG="$WINEPREFIX.setup.log"
SERVER_LOG="$WINEPREFIX.server.log"

# Stops the prefix's server, if one runs, and waits until it is gone.
stop_server() {
    # Fails when no server runs, which is fine here.
    "$KORMELT_WINESERVER" -k >/dev/null 2>&1
    "$KORMELT_WINESERVER" -w >/dev/null 2>&1
    kill_orphans
}

# The Wine programs of this prefix that a crashed server left behind, which
# no server can stop any more (its driver hosts then spin): every process
# that runs a Wine binary with this prefix in its environment.
kill_orphans() {
    local environ pid
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}
        pid=${pid%/environ}
        case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
        */wine/*) ;;
        *) continue ;;
        esac
        if tr '\0' '\n' <"$environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            kill -9 "$pid" 2>/dev/null  # gone meanwhile is as good
        fi
    done
    return 0
}

# Runs a Wine command with its output in the setup log.
wine_logged() {
    echo "+ $*" >>"$SETUP_LOG"
    "$KORMELT_WINE" "$@" >>"$SETUP_LOG" 2>&1 </dev/null
}

fail_setup() {
    echo "wine_prefix.sh: $*" >&2
    echo "--- $SETUP_LOG" >&2
    tail -n 40 "$SETUP_LOG" >&2
    stop_server
    exit 1
}

# Lists what COM1 to COM7 lead to, one line each.
com_links() {
    local n
    for n in 1 2 3 4 5 6 7; do
        local link="$WINEPREFIX/dosdevices/com$n"
        if [ -L "$link" ]; then
            echo "com$n -> $(readlink "$link")"
        elif [ -e "$link" ]; then
            echo "com$n: not a link"
        else
            echo "com$n: none"
        fi
    done
}

setup() {
    : "${KORMELT_WINE_COM3:?KORMELT_WINE_COM3 must name the path COM3 leads to}"
    stop_server
    if [ -e "$WINEPREFIX" ]; then
        [ -f "$WINEPREFIX/system.reg" ] || [ -d "$WINEPREFIX/dosdevices" ] ||
            die "$WINEPREFIX exists and is not a Wine prefix; not deleting it"
        rm -rf "$WINEPREFIX" || die "cannot delete $WINEPREFIX"
    fi
    mkdir -p "$(dirname "$WINEPREFIX")" || die "cannot create the parent of $WINEPREFIX"
    : >"$SETUP_LOG" || die "cannot write $SETUP_LOG"

    wine_logged wineboot -i || fail_setup "wineboot -i failed"

    # Wine rebuilds the COM links from this key whenever its server starts.
    local ports="$WINEPREFIX/drive_c/kormelt-ports.reg"
    local com3="${KORMELT_WINE_COM3//\\/\\\\}"  # .reg strings escape \ and "
    com3="${com3//\"/\\\"}"
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        local n
        for n in 1 2 3 4 5 6 7 8 9; do
            if [ "$n" = 3 ]; then
                printf '"COM%s"="%s"\r\n' "$n" "$com3"
            else
                printf '"COM%s"=""\r\n' "$n"
            fi
        done
    } >"$ports" || fail_setup "cannot write $ports"
    wine_logged reg import 'C:\kormelt-ports.reg' || fail_setup "cannot import the COM port map"
    "$KORMELT_WINESERVER" -w || fail_setup "wineserver -w failed"

    # A server in the foreground of a process group of its own: not a session
    # leader, so opening a pseudo-terminal never makes it the server's
    # controlling terminal (whose hang-up would have the server dump all its
    # objects), and out of reach of signals sent to the test run's group.
    set -m
    "$KORMELT_WINESERVER" -f -p </dev/null >"$SERVER_LOG" 2>&1 &
    set +m

    # The first program starts Wine's service processes, which then stay with
    # the persistent server; started here, they hold this script's log and
    # not a test's output. It also makes Wine rebuild the COM links.
    wine_logged reg query 'HKLM\Software\Wine\Ports' || fail_setup "Wine does not start with the new server"

    local expected
    expected=$(printf 'com1: none\ncom2: none\ncom3 -> %s\ncom4: none\ncom5: none\ncom6: none\ncom7: none' \
        "$KORMELT_WINE_COM3")
    local try
    for ((try = 0; try < STARTUP_CHECK_TRIES; ++try)); do
        if [ "$(com_links)" = "$expected" ]; then
            probe_32bit
            return 0
        fi
        sleep 0.2
    done
    {
        echo "COM1 to COM7 are not mapped as expected:"
        com_links
    } >>"$SETUP_LOG"
    fail_setup "the COM ports are not mapped as expected"
}

probe_32bit() {
    [ -n "${KORMELT_WINE32_ANSWER:-}" ] || return 0
    KORMELT_WINE="${KORMELT_WINE32:-}" bash "$(dirname "$0")/wine32_probe.sh" \
        "$KORMELT_WINE32_ANSWER" "${KORMELT_WINE32_PROBE:-}" || fail_setup "the 32-bit probe failed"
}

case "${1:-}" in
setup) setup ;;
cleanup) stop_server ;;
*) die "usage: wine_prefix.sh setup | cleanup" ;;
esac
