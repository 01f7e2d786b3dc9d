# What the scripts in tools/ and .ci/run share; they source it from the project's root.

# need PACKAGE...: installs those of the Debian packages that are missing. It says which, then
# runs apt-get as root or through sudo; without either, it stops with the command to run. Where
# there is no dpkg, the tools are taken to be there.
need() {
    command -v dpkg-query >/dev/null || return 0
    local missing=() package
    for package in "$@"; do
        # One status per architecture that the package is known for.
        case " $(dpkg-query -W -f '${db:Status-Status} ' "$package" 2>/dev/null) " in
        *" installed "*) ;;
        *) missing+=("$package") ;;
        esac
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    local me apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
    me=$(basename "$0")
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || {
            echo "$me: missing Debian packages: ${missing[*]}" >&2
            echo "$me: as root, run: apt-get update && apt-get install ${missing[*]}" >&2
            exit 1
        }
        apt=(sudo "${apt[@]}")
    fi
    echo "$me: installing the Debian packages that it needs: ${missing[*]}" >&2
    local yes=()
    [ -t 0 ] || yes=(-y)
    "${apt[@]}" update
    "${apt[@]}" install "${yes[@]}" --no-install-recommends "${missing[@]}"
}

# as_root COMMAND...: runs COMMAND as root, or through sudo; without either, it stops with the
# command to run.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "$(basename "$0"): as root, run: $*" >&2
        exit 1
    fi
}

# private_dir: makes a temporary folder that only this user can enter, in $temp; it is removed,
# with the server started in it, when the script exits.
temp=
server=
private_dir() {
    temp=$(mktemp -d)
    trap cleanup EXIT
}
cleanup() {
    stop_server
    rm -rf "$temp"
}

# start_server FIFO OUTPUT COMMAND...: starts the server COMMAND on FIFO in the background, its
# standard output to OUTPUT, and waits until it has made the FIFO.
start_server() {
    local fifo=$1 output=$2
    shift 2
    "$@" "$fifo" >"$output" &
    server=$!
    while [ ! -p "$fifo" ]; do
        kill -0 "$server" 2>/dev/null || { echo "$(basename "$0"): $* did not start" >&2; exit 1; }
        sleep 0.1
    done
}

# stop_server: stops the server with SIGTERM, on which it removes its FIFO, and waits for it.
stop_server() {
    [ -n "$server" ] || return 0
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=
}

# french_locale: makes fr_FR.UTF-8 usable by this script's children, building it into the
# private folder where neither the system nor LOCPATH has it (localedef comes with the C
# library; the translated messages with the package libc-l10n).
french_locale() {
    [ "$(LC_ALL=fr_FR.UTF-8 locale charmap 2>/dev/null)" != UTF-8 ] || return 0
    localedef -i fr_FR -f UTF-8 "$temp/fr_FR.UTF-8"
    export LOCPATH=$temp
}

# run_suite BUILD-FOLDER: runs every test with CTest, then names each case that skipped, with its
# reason, which CTest keeps in its log; fails if a case failed.
run_suite() {
    local status=0
    # Most cases spend 2 s asleep in the client's pause and little CPU, so on two cores the suite
    # is fastest with all of them at once (measured: -j 8 7.4 s, -j 16 5.3 s, -j 40 4.0 s).
    ctest --test-dir "$1" -j 40 --output-on-failure || status=$?
    awk -v me="$(basename "$0")" '/: Skipped$/ { getline why }
        /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
            sub(/^\[  SKIPPED \] /, ""); sub(/ \([0-9]+ ms\)$/, "")
            print me ": skipped " $0 ": " why
        }' "$1/Testing/Temporary/LastTest.log"
    return $status
}
