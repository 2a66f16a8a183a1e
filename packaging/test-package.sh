#!/usr/bin/env bash
# Packaging test: install into a staging root, validate the desktop entry and the AppStream
# metainfo, build the Debian package, unpack it into a scratch root, check its files and
# fields, and start the packaged program headless.
#   test-package.sh BUILD_DIR VERSION [CMAKE [CPACK]]
# Exit 77 (skipped) when a Debian tool it needs is missing.
set -euo pipefail

build=${1:?usage: test-package.sh BUILD_DIR VERSION [CMAKE [CPACK]]}
version=${2:?usage: test-package.sh BUILD_DIR VERSION [CMAKE [CPACK]]}
cmake=${3:-cmake}
cpack=${4:-cpack}
appid=com.example.Kadrel
sizes=(16 32 48 64 128 256)

for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps "$cmake" "$cpack"; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (Debian: desktop-file-utils, appstream, dpkg-dev)"
        exit 77
    fi
done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

for bin in kadrel kadrel-sim; do
    if [ ! -x "$build/$bin" ]; then
        echo "FAIL: $build/$bin is not built (cmake --build $build --target kadrel kadrel-sim)" >&2
        exit 1
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kadrel-pkg.XXXXXX")
pid=
simpid=
cleanup() {
    local p
    for p in $pid $simpid; do
        kill -KILL "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

# Reads a PNG's width and height from its IHDR chunk.
pngSize() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }

# Checks the freedesktop files below ROOT (a prefix such as stage/usr), naming the tree as WHAT.
checkTree() {   # checkTree ROOT WHAT
    local root=$1 what=$2 f
    for f in bin/kadrel bin/kadrel-sim; do
        [ -x "$root/$f" ] || fail "$what: $f missing or not executable"
    done
    local desktop=$root/share/applications/$appid.desktop
    local metainfo=$root/share/metainfo/$appid.metainfo.xml
    [ -f "$desktop" ] || fail "$what: share/applications/$appid.desktop missing"
    [ -f "$metainfo" ] || fail "$what: share/metainfo/$appid.metainfo.xml missing"
    [ -f "$root/share/icons/hicolor/scalable/apps/kadrel.svg" ] || fail "$what: scalable icon missing"
    for f in kadrel-headless.service kadrel-headless@.service; do
        [ -f "$root/lib/systemd/user/$f" ] || fail "$what: lib/systemd/user/$f missing"
    done
    local n size
    for n in "${sizes[@]}"; do
        f=$root/share/icons/hicolor/${n}x${n}/apps/kadrel.png
        if [ ! -f "$f" ]; then
            fail "$what: ${n}x${n} icon missing"
            continue
        fi
        size=$(pngSize "$f")
        [ "$size" = "${n}x${n}" ] || fail "$what: ${n}x${n}/apps/kadrel.png is $size"
    done
}

# Files below ROOT other than the programs and their desktop files, named as WHAT.
checkStray() {   # checkStray ROOT WHAT
    local stray
    stray=$(find "$1" \( -type f -o -type l \) -printf '%P\n' | { grep -vE \
        '^usr/bin/kadrel(-sim)?$|^usr/share/(applications|metainfo|icons/hicolor|doc/kadrel)/|^usr/lib/systemd/user/kadrel-headless@?\.service$' || true; })
    [ -z "$stray" ] || fail "$2: unexpected files: $stray"
}

# 1. cmake --install into a staging root.
stage=$tmp/stage
if ! DESTDIR=$stage "$cmake" --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log" >&2
    fail "cmake --install"
    exit 1
fi
before=$failures
checkTree "$stage/usr" "install"
checkStray "$stage" "install"
[ "$failures" -eq "$before" ] && ok "cmake --install put the programs, desktop entry, metainfo and icons in place"

desktop=$stage/usr/share/applications/$appid.desktop
metainfo=$stage/usr/share/metainfo/$appid.metainfo.xml
if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then
    ok "desktop-file-validate"
else
    fail "desktop-file-validate: $out"
fi
# Pedantic hints (an upper-case letter in the reverse-DNS id) do not fail the validation.
if out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1); then
    ok "appstreamcli validate --no-net"
else
    fail "appstreamcli validate: $out"
fi
# The tree check also finds the desktop entry the metainfo launches.
if out=$(appstreamcli validate-tree --no-net --no-color "$stage" 2>&1); then
    ok "appstreamcli validate-tree --no-net"
else
    fail "appstreamcli validate-tree: $out"
fi

# The files must agree with each other: the desktop entry starts and shows what is installed,
# the metainfo launches that entry and carries this version.
entry() { sed -n "s/^$1=//p" "$desktop" | head -n1; }
[ "$(entry Name)" = "Kadrel" ] || fail "desktop Name is '$(entry Name)'"
[ -n "$(sed -n 's/^Comment\[pl\]=//p' "$desktop")" ] || fail "desktop entry has no Polish comment"
[ -x "$stage/usr/bin/$(entry Exec | cut -d' ' -f1)" ] || fail "desktop Exec '$(entry Exec)' is not an installed program"
[ -f "$stage/usr/share/icons/hicolor/scalable/apps/$(entry Icon).svg" ] || fail "desktop Icon '$(entry Icon)' is not an installed icon"
case ";$(entry Categories)" in *";Utility;"*) ;; *) fail "desktop Categories '$(entry Categories)' lack Utility" ;; esac
grep -q "<id>$appid</id>" "$metainfo" || fail "metainfo id is not $appid"
grep -q "<launchable type=\"desktop-id\">$appid.desktop</launchable>" "$metainfo" ||
    fail "metainfo does not launch $appid.desktop"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
grep -q '<screenshot type="default">' "$metainfo" || fail "metainfo has no default screenshot"

# Installed programs must not look for libraries in the build folder.
if command -v readelf >/dev/null; then
    for f in kadrel kadrel-sim; do
        if readelf -d "$stage/usr/bin/$f" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
            fail "installed $f keeps a RUNPATH into the build folder"
        fi
    done
fi

# 2. The Debian package, built in a folder of its own.
arch=$(dpkg --print-architecture)
deb=$tmp/cpack/kadrel_${version}_${arch}.deb
mkdir -p "$tmp/cpack"
# Only the packaging folder's install project: the whole project's would first build every
# target (cpack's preinstall step), under the feet of the tests running beside this one. All
# install rules live there; the stray-file check on the staging root above covers the rest.
if ! (cd "$tmp/cpack" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/cpack" \
        -D "CPACK_INSTALL_CMAKE_PROJECTS=$build/packaging;kadrel;ALL;/") >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    fail "cpack -G DEB"
    exit 1
fi
if [ ! -f "$deb" ]; then
    ls -l "$tmp/cpack" >&2
    fail "cpack made no $(basename "$deb")"
    exit 1
fi
ok "cpack -G DEB made $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kadrel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Maintainer)" = "Kadrel developers <kadrel@example.com>" ] || fail "Maintainer is '$(field Maintainer)'"
depends=$(field Depends)
# Each release names its own libraries: Debian 13 took 64-bit time_t into Qt Core's and
# libical's package names (libqt6core6t64, libical3t64).
for lib in libqt6widgets6 "libqt6core6 libqt6core6t64" "libical3 libical3t64" libc6 libstdc++6; do
    found=
    for name in $lib; do
        case ", $depends," in
            *", $name "*|*", $name,"*) found=$name ;;
        esac
    done
    [ -n "$found" ] || fail "Depends lacks ${lib// / or }: $depends"
done
echo "Depends: $depends"

# 3. Unpack into a scratch root: the expected files, and nothing outside them.
root=$tmp/root
dpkg -x "$deb" "$root"
before=$failures
checkTree "$root/usr" "package"
[ -f "$root/usr/share/doc/kadrel/copyright" ] || fail "package: usr/share/doc/kadrel/copyright missing"
checkStray "$root" "package"
[ "$failures" -eq "$before" ] && ok "dpkg -x: the package holds the expected files"

# The user units start the installed program without a screen. systemd's own check reads them;
# it wants ExecStart's program to exist, so a copy names the unpacked one instead of /usr/bin's.
if command -v systemd-analyze >/dev/null; then
    mkdir -p "$tmp/units"
    for unit in kadrel-headless.service kadrel-headless@hala.service; do
        src=$root/usr/lib/systemd/user/${unit/@hala/@}
        grep -q "^ExecStart=/usr/bin/kadrel --headless" "$src" || fail "$unit: $(grep ^ExecStart= "$src")"
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$src" >"$tmp/units/$unit"
        if out=$(XDG_RUNTIME_DIR=$tmp systemd-analyze --user verify --man=no "$tmp/units/$unit" 2>&1) && [ -z "$out" ]; then
            ok "systemd-analyze verify $unit"
        else
            fail "systemd-analyze verify $unit: $out"
        fi
        # The sandbox a user service can have: systemd's own rating, 4.0 or lower.
        score=$(XDG_RUNTIME_DIR=$tmp systemd-analyze security --user --offline=true "$tmp/units/$unit" 2>&1 |
                sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
        if [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 4.0) }'; then
            ok "systemd-analyze security $unit: $score"
        else
            fail "systemd-analyze security $unit: exposure ${score:-not rated} (at most 4.0)"
        fi
        grep -q '^RestartPreventExitStatus=3$' "$src" || fail "$unit: restarts when the profile runs already"
    done
else
    echo "note: systemd-analyze is missing (Debian: systemd); the user units were not verified"
fi

# 4. The packaged programs start headless in a sandbox and stay up: the simulator publishes its
# port, and the program, which lists that port first, runs beside it.
sandbox=$tmp/sandbox
mkdir -p "$sandbox/home" "$sandbox/config" "$sandbox/runtime"
chmod 700 "$sandbox/runtime"
# Run as "sandboxed PROGRAM ... &": exec keeps $! the program's own process id.
sandboxed() {
    exec env -u DISPLAY -u WAYLAND_DISPLAY -u SESSION_MANAGER -u DBUS_SESSION_BUS_ADDRESS \
        HOME="$sandbox/home" XDG_CONFIG_HOME="$sandbox/config" XDG_RUNTIME_DIR="$sandbox/runtime" \
        XDG_CACHE_HOME="$sandbox/home/.cache" XDG_DATA_HOME="$sandbox/home/.local/share" \
        QT_QPA_PLATFORM=offscreen "$@" </dev/null
}
# Ends process PID with SIGTERM and leaves its exit status in $stopped (137 if it had to be killed).
stop() {   # stop PID NAME
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$1" 2>/dev/null; then
        fail "$2 did not end within 5 s of SIGTERM"
        kill -KILL "$1" 2>/dev/null || true
    fi
    stopped=0
    wait "$1" || stopped=$?
}

port=$sandbox/runtime/kadrel/ports/PKGTEST
sandboxed "$root/usr/bin/kadrel-sim" --name PKGTEST --quiet >"$tmp/sim.log" 2>&1 &
simpid=$!
for _ in $(seq 30); do
    [ -c "$port" ] && break
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
done
if [ -c "$port" ]; then
    ok "the packaged kadrel-sim published its port"
else
    fail "the packaged kadrel-sim published no port within 3 s"
    cat "$tmp/sim.log" >&2
fi

sandboxed "$root/usr/bin/kadrel" >"$tmp/kadrel.log" 2>&1 &
pid=$!
sleep 2
if kill -0 "$pid" 2>/dev/null; then
    stop "$pid" kadrel
    pid=
    # 0 when it handles SIGTERM itself, 128+15 when the signal ends it.
    if [ "$stopped" -eq 0 ] || [ "$stopped" -eq 143 ]; then
        ok "the packaged kadrel ran headless for 2 s and ended on SIGTERM"
    else
        fail "kadrel ended with status $stopped after SIGTERM"
        cat "$tmp/kadrel.log" >&2
    fi
else
    stopped=0
    wait "$pid" || stopped=$?
    pid=
    fail "the packaged kadrel exited within 2 s (status $stopped)"
    cat "$tmp/kadrel.log" >&2
fi

if kill -0 "$simpid" 2>/dev/null; then
    stop "$simpid" kadrel-sim
    simpid=
    if [ "$stopped" -ne 0 ] || [ -e "$port" ] || [ -L "$port" ]; then
        fail "kadrel-sim ended with status $stopped on SIGTERM, port link left: $([ -L "$port" ] && echo yes || echo no)"
        cat "$tmp/sim.log" >&2
    else
        ok "the packaged kadrel-sim ended on SIGTERM and withdrew its port"
    fi
else
    stopped=0
    wait "$simpid" || stopped=$?
    simpid=
    fail "the packaged kadrel-sim exited early (status $stopped)"
    cat "$tmp/sim.log" >&2
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures packaging check(s) failed" >&2
    exit 1
fi
echo "packaging checks passed"
