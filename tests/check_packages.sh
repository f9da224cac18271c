#!/usr/bin/env bash
# The first commands on a machine that lacks their Debian packages.
# Without root they must stop with the one command that installs what is
# missing, having run no apt-get, no sudo and no build, and created nothing;
# on a system without apt they say what is needed. As root they install the
# missing packages with apt-get in one line, its output shown only when it
# fails. apt-get, apt-cache, dpkg-query, sudo, cmake and scripts/test-all
# are stand-ins that record their calls: nothing is ever installed.
#
#   tests/check_packages.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: check_packages.sh SOURCE_DIR}
work=$(mktemp -d /tmp/avmenu-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# The commands under test, with a package list of their own.
tree=$work/tree
mkdir -p "$tree/scripts/lib" "$tree/.ci"
cp "$src/scripts/simulate" "$tree/scripts/"
cp "$src/scripts/lib/ensure-packages" "$tree/scripts/lib/"
cp "$src/.ci/run" "$tree/.ci/"
cat >"$tree/scripts/packages" <<'EOF'
# the simulator's job first
simulate: cmake g++ libpng-dev

test: simulate qemu-user g++ valgrind
EOF

# stub DIR NAME BODY: a stand-in command that records its arguments.
stub() {
    mkdir -p "$1"
    printf '#!/bin/bash\necho "%s $*" >>"$CALLS"\n%s\n' "$2" "$3" >"$1/$2"
    chmod 755 "$1/$2"
}
base=$work/base debian=$work/debian with_sudo=$work/sudo
mkdir -p "$base"
for tool in bash dirname mktemp rm cat; do ln -s "$(command -v "$tool")" "$base/$tool"; done
# cmake prints CMAKE_SAYS and exits with CMAKE_STATUS (a failing configure
# when they are not given).
stub "$base" cmake 'printf "%b" "${CMAKE_SAYS:-cmake: stand-in\\n}"; exit "${CMAKE_STATUS:-1}"'
stub "$tree/scripts" test-all 'exit 0'
# dpkg-query: the packages named in INSTALLED are installed, any other one
# it has seen removed (its format string is the one the command asks for).
stub "$debian" dpkg-query 'for a in "${@:3}"; do s=not-installed; for i in $INSTALLED; do [ "$a" = "$i" ] && s=installed; done; echo "$a $s"; done'
# apt-cache knows every package unless the lists were never fetched.
stub "$debian" apt-cache '[ "$APT" != no-lists ]'
# apt-get: APT=broken fails everything, APT=stale fails an install until
# the lists are updated; it talks either way.
stub "$debian" apt-get 'echo "apt: reading package lists"
[ "$APT" = broken ] && { echo "E: cannot reach the mirror"; exit 100; }
[ "$APT" = stale ] && [ "$1 $2" = "-q -y" ] && ! grep -q "apt-get -q update" "$CALLS" 2>/dev/null && exit 100
exit 0'
ln -s "$(command -v grep)" "$debian/grep"
stub "$with_sudo" sudo 'exit 1'

failures=0
fail() { echo "FAIL: $label: $*"; failures=$((failures + 1)); }

# The cases: who runs it | command | PATH (base, debian, sudo) | installed |
# apt | a configured build (built) | cmake's status | what cmake prints |
# exit status | exactly what the command prints | the calls of apt-get,
# sudo, cmake, test-all and the simulator, in order | label
cases=(
"nobody|scripts/simulate|base debian sudo|cmake g++|ok||||1|simulate: Debian packages missing; install them as root first: sudo apt-get install libpng-dev||one package missing, sudo at hand"
"nobody|.ci/run|base debian|cmake libpng-dev valgrind|ok||||1|ci: Debian packages missing; install them as root first: su -c 'apt-get install g++ qemu-user'||the test job's packages include the simulator's, no sudo"
"nobody|scripts/simulate|base debian sudo||no-lists||||1|simulate: Debian packages missing; install them as root first: sudo apt-get update && sudo apt-get install cmake g++ libpng-dev||a fresh system: apt knows no package yet"
"nobody|scripts/simulate|base||ok||||1|simulate: not a Debian-like system (no apt-get or dpkg-query); install what Debian calls cmake g++ libpng-dev, then run again with AVMENU_SKIP_PACKAGES=1||not Debian-like"
"nobody|.ci/run|base debian sudo|cmake g++ libpng-dev qemu-user valgrind|ok||||0||test-all|nothing missing: silent, straight to the tests"
"nobody|scripts/simulate|base debian sudo|cmake g++ libpng-dev|ok||||1|simulate: configuring the release build in TREE/build/release\ncmake: stand-in|cmake --preset release|nothing missing: silent, straight to the build"
"nobody|scripts/simulate --help|base debian sudo|cmake g++ libpng-dev|ok|built|0|[0/2] Re-checking globbed directories...\nninja: no work to do.\n|0|avmenu-sim: stand-in|cmake --build TREE/build/release --target avmenu-sim avmenu-sim-basic;avmenu-sim --help|up to date: only the simulator speaks"
"nobody|scripts/simulate|base debian sudo|cmake g++ libpng-dev|ok|built|1|[1/3] Building CXX object a.o\n[2/3] Building CXX object b.o\nFAILED: b.o\nb.cpp:1:1: error: boom\nninja: build stopped: subcommand failed.\n|1|simulate: building the simulator\n[1/3] Building CXX object a.o\n[2/3] Building CXX object b.o\nFAILED: b.o\nb.cpp:1:1: error: boom\nninja: build stopped: subcommand failed.|cmake --build TREE/build/release --target avmenu-sim avmenu-sim-basic|a failing build: its steps and errors in full, no simulator"
"root|scripts/simulate|base debian|g++|ok||||1|simulate: installing cmake libpng-dev\nsimulate: configuring the release build in TREE/build/release\ncmake: stand-in|apt-get -q -y --no-install-recommends install cmake libpng-dev;cmake --preset release|root installs in one line, apt kept quiet"
"root|.ci/run|base debian|cmake g++ libpng-dev|stale||||0|ci: installing qemu-user valgrind|apt-get -q -y --no-install-recommends install qemu-user valgrind;apt-get -q update;apt-get -q -y --no-install-recommends install qemu-user valgrind;test-all|root, lists out of date: updated, then installed"
"root|scripts/simulate|base debian|cmake g++|broken||||1|simulate: installing libpng-dev\napt: reading package lists\nE: cannot reach the mirror\napt: reading package lists\nE: cannot reach the mirror\nsimulate: apt-get failed (its output is above)|apt-get -q -y --no-install-recommends install libpng-dev;apt-get -q update|root, apt-get fails: its output shown, no build"
)

for row in "${cases[@]}"; do
    IFS='|' read -r who command dirs installed apt setup cmake_status cmake_says status expected calls label <<<"$row"
    read -ra command <<<"$command"
    if [ "$who" = root ] && [ "$EUID" -ne 0 ]; then
        echo "skipped (needs root): $label"
        continue
    fi
    before=$failures
    as=()
    if [ "$who" = nobody ] && [ "$EUID" -eq 0 ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    fi
    path=""
    for d in $dirs; do
        case $d in base) path+=":$base" ;; debian) path+=":$debian" ;; sudo) path+=":$with_sudo" ;; esac
    done
    rm -rf "$tree/build" "$work/tmp" "$work/calls"
    mkdir -m 1777 "$work/tmp"
    : >"$work/calls"
    chmod 666 "$work/calls"
    chmod 777 "$tree" "$tree/scripts"
    if [ "$setup" = built ]; then
        mkdir -p "$tree/build/release/sim"
        : >"$tree/build/release/build.ninja"
        stub "$tree/build/release/sim" avmenu-sim 'echo "avmenu-sim: stand-in"'
    fi
    touch "$work/stamp"

    out=$("${as[@]}" /usr/bin/env -i PATH="${path#:}" TMPDIR="$work/tmp" HOME="$work" CALLS="$work/calls" \
        INSTALLED="$installed" APT="$apt" CMAKE_STATUS="$cmake_status" CMAKE_SAYS="$cmake_says" \
        "$tree/${command[0]}" "${command[@]:1}" 2>&1)
    got=$?

    want=$(printf '%b' "${expected//TREE/$tree}")
    [ "$got" = "$status" ] || fail "exit status $got, expected $status"
    [ "$out" = "$want" ] || fail "printed:"$'\n'"$out"$'\n'"expected:"$'\n'"$want"
    made=$(grep -E '^(apt-get|sudo|cmake|test-all|avmenu-sim) ' "$work/calls" | sed 's/ *$//' | paste -sd';')
    [ "$made" = "${calls//TREE/$tree}" ] || fail "calls: '$made', expected '$calls'"
    if [ "$who" = nobody ]; then
        left=$(find "$tree" "$work/tmp" -newer "$work/stamp" ! -path "$work/tmp" ! -path "$tree" ! -path "$tree/scripts")
        [ -z "$left" ] || fail "created: $left"
    fi
    [ "$failures" = "$before" ] && echo "ok: $label"
done

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
