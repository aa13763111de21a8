#!/usr/bin/env bash
# The Windows suite: the cross-built driver libraries under Wine.
#
#   1. builds the four Windows flavours (or takes them from given build directories):
#      win64, win32 (real device I/O: no device under Wine) and win64-sim, win32-sim
#      (the simulated kernel driver inside the library, for streaming);
#   2. checks each library's exports and imports with objdump;
#   3. in a fresh Wine prefix: installs the libraries, the launcher and a stand-in settings
#      program, registers both builds with regsvr32, checks every registry value in the 64-bit
#      and the 32-bit view, activates both through COM with the test host (no device), checks
#      that controlPanel starts the settings program (through the launcher for 32-bit),
#      unregisters and checks that both views are clean;
#   4. registers the sim-backed builds and streams a loopback device with both.
#
# Environment (all optional):
#   NX_WINE_BUILD_ROOT   where the flavours are built (default: <repo>/build, as the presets)
#   NX_BUILD_WIN64, NX_BUILD_WIN32, NX_BUILD_WIN64_SIM, NX_BUILD_WIN32_SIM
#                        take that flavour from this build directory instead
#   NX_WINE_NO_BUILD=1   do not build; use what the build directories hold
#   NX_WINE_REQUIRE_32=1 fail (instead of skip) the 32-bit runs where the machine cannot
#                        execute 32-bit programs
#   NX_WINE_KEEP=1       keep the work directory (Wine prefix, logs)
#
# Prints one PASS/FAIL/SKIP line per check and ends with "N passed, M failed, K skipped";
# exits non-zero when a check failed.
set -u

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_ROOT=${NX_WINE_BUILD_ROOT:-$REPO/build}
JOBS=${NX_WINE_JOBS:-2}
CLASS_ID='{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}'
STARTED=$(date +%s)

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
skip() { skipped=$((skipped + 1)); echo "SKIP: $*"; }
note() { echo "---- $* ($(($(date +%s) - STARTED)) s)"; }

finish() {
    note "done"
    echo "$passed passed, $failed failed, $skipped skipped"
    [ "$failed" -eq 0 ]
    exit $?
}

# ---- tools -----------------------------------------------------------------------------

find_tool() {  # name, fallback paths...
    local name=$1
    shift
    if command -v "$name" >/dev/null 2>&1; then
        command -v "$name"
        return
    fi
    local candidate
    for candidate in "$@"; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
}

WINE=$(find_tool wine64 /usr/lib/wine/wine64 /opt/wine-stable/bin/wine64)
WINESERVER=$(find_tool wineserver /usr/lib/wine/wineserver /usr/lib/wine/wineserver64)
WINE32_LOADER=$(find_tool wine /usr/lib/wine/wine)
OBJDUMP64=$(find_tool x86_64-w64-mingw32-objdump)
OBJDUMP32=$(find_tool i686-w64-mingw32-objdump)

missing=""
[ -n "$WINE" ] || missing="$missing wine64"
[ -n "$WINESERVER" ] || missing="$missing wineserver"
[ -n "$OBJDUMP64" ] || missing="$missing x86_64-w64-mingw32-objdump"
[ -n "$OBJDUMP32" ] || missing="$missing i686-w64-mingw32-objdump"
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || missing="$missing x86_64-w64-mingw32-g++"
command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || missing="$missing i686-w64-mingw32-g++"
if [ -n "$missing" ]; then
    fail "tools missing:$missing (run tests/wine/install-deps.sh)"
    finish
fi

# 32-bit Windows programs need Wine's 32-bit loader, an i386 Linux program. Some machines
# (sandboxed kernels) refuse to execute 32-bit programs at all.
RUN32=1
WHY32=""
if [ -z "$WINE32_LOADER" ]; then
    RUN32=0
    WHY32="Wine's 32-bit half is not installed (wine32:i386)"
elif ! "$WINE32_LOADER" --version >/dev/null 2>&1; then
    RUN32=0
    WHY32="this machine cannot execute 32-bit x86 programs ($WINE32_LOADER: $( ("$WINE32_LOADER" --version 2>&1 || true) | head -n 1 | sed 's/.*: //'))"
fi
skip32() {  # what
    if [ "${NX_WINE_REQUIRE_32:-0}" = 1 ]; then
        fail "$1: $WHY32"
    else
        skip "$1: $WHY32"
    fi
}

# ---- builds ----------------------------------------------------------------------------

declare -A DIR TOOLCHAIN DEVICE_IO BITS
DIR[win64]=${NX_BUILD_WIN64:-$BUILD_ROOT/win64}
DIR[win32]=${NX_BUILD_WIN32:-$BUILD_ROOT/win32}
DIR[win64-sim]=${NX_BUILD_WIN64_SIM:-$BUILD_ROOT/win64-sim}
DIR[win32-sim]=${NX_BUILD_WIN32_SIM:-$BUILD_ROOT/win32-sim}
for flavour in win64 win64-sim; do TOOLCHAIN[$flavour]=toolchain-mingw-x86_64.cmake; BITS[$flavour]=64; done
for flavour in win32 win32-sim; do TOOLCHAIN[$flavour]=toolchain-mingw-i686.cmake; BITS[$flavour]=32; done
DEVICE_IO[win64]=win32
DEVICE_IO[win32]=win32
DEVICE_IO[win64-sim]=sim
DEVICE_IO[win32-sim]=sim
FLAVOURS="win64 win32 win64-sim win32-sim"

library_of() { [ "${BITS[$1]}" = 64 ] && echo Nxqe2650.dll || echo Nxqf2650.dll; }
driver_target_of() { [ "${BITS[$1]}" = 64 ] && echo Nxqe2650 || echo Nxqf2650; }

WORK=$(mktemp -d /tmp/nx-wine-suite.XXXXXX)
cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        WINEPREFIX=$WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    if [ "${NX_WINE_KEEP:-0}" = 1 ]; then
        echo "work directory kept: $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

declare -A BUILT
for flavour in $FLAVOURS; do
    dir=${DIR[$flavour]}
    BUILT[$flavour]=0
    if [ "${NX_WINE_NO_BUILD:-0}" != 1 ]; then
        note "building $flavour in $dir"
        log=$WORK/build-$flavour.log
        if cmake -S "$REPO" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/${TOOLCHAIN[$flavour]}" \
                -DNX_DEVICE_IO="${DEVICE_IO[$flavour]}" -DNX_BUILD_TESTS=ON >"$log" 2>&1 &&
            cmake --build "$dir" -j "$JOBS" --target "$(driver_target_of "$flavour")" nx_launcher \
                nx_wine_host nx_standin_settings >>"$log" 2>&1; then
            pass "build $flavour"
        else
            fail "build $flavour (last lines of $log:)"
            tail -n 25 "$log" | sed 's/^/    /'
            continue
        fi
    fi
    if [ -f "$dir/asio/$(library_of "$flavour")" ] && [ -f "$dir/tests/wine/nx_wine_host.exe" ]; then
        BUILT[$flavour]=1
    else
        fail "$flavour: $dir holds no $(library_of "$flavour") and test host"
    fi
done

# ---- exports and imports ---------------------------------------------------------------

# Imports a library or program may have: system DLLs only (no compiler runtime DLLs).
SYSTEM_DLLS='^(KERNEL32|ADVAPI32|USER32|GDI32|msvcrt|ole32|OLEAUT32|WINMM|SHELL32|COMCTL32|api-ms-win-[a-z0-9-]+)\.dll$'

check_imports() {  # objdump, file, label
    local imports bad
    imports=$("$1" -p "$2" | sed -n 's/^\s*DLL Name: //p' | tr -d '\r')
    bad=$(echo "$imports" | grep -Eiv "$SYSTEM_DLLS" | tr '\n' ' ')
    if [ -n "$imports" ] && [ -z "${bad// /}" ]; then
        pass "$3 imports only system DLLs: $(echo "$imports" | tr '\n' ' ')"
    else
        fail "$3 imports non-system DLLs: '$bad' (all: $(echo "$imports" | tr '\n' ' '))"
    fi
}

for flavour in $FLAVOURS; do
    [ "${BUILT[$flavour]}" = 1 ] || continue
    dir=${DIR[$flavour]}
    lib=$dir/asio/$(library_of "$flavour")
    objdump=$OBJDUMP64
    format=pei-x86-64
    if [ "${BITS[$flavour]}" = 32 ]; then
        objdump=$OBJDUMP32
        format=pei-i386
    fi
    if "$objdump" -f "$lib" | grep -q "file format $format"; then
        pass "$flavour: $(library_of "$flavour") is $format"
    else
        fail "$flavour: $(library_of "$flavour") is not $format"
    fi
    # The export table's name list: "[ n] Name" lines after "[Ordinal/Name Pointer] Table".
    exports=$("$objdump" -p "$lib" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^\s*\[ *[0-9]*\] \(\S\+\)\s*$/\1/p' | sort | tr '\n' ' ')
    expected="DllCanUnloadNow DllEntryPoint DllGetClassObject DllRegisterServer DllUnregisterServer "
    if [ "$exports" = "$expected" ]; then
        pass "$flavour: exports exactly $expected"
    else
        fail "$flavour: exports '$exports', expected '$expected'"
    fi
    check_imports "$objdump" "$lib" "$flavour: $(library_of "$flavour")"
    if [ "$flavour" = win32 ]; then
        launcher=$dir/tools/launcher/Nxlh2650.dat
        if "$objdump" -f "$launcher" 2>/dev/null | grep -q "file format pei-i386" &&
            "$objdump" -p "$launcher" | grep -q "Subsystem.*(Windows GUI)"; then
            pass "win32: Nxlh2650.dat is an i686 Windows GUI program"
        else
            fail "win32: Nxlh2650.dat is missing or not an i686 Windows GUI program"
        fi
        check_imports "$objdump" "$launcher" "win32: Nxlh2650.dat"
    fi
done

# The 32-bit IASIO slots other than IUnknown's use thiscall: `this` in ECX and the callee
# pops the other arguments, so each returns with "ret $<bytes of its arguments>" (stdcall
# would pop `this` too, cdecl nothing). Checked in the disassembly, as a 32-bit host relies
# on it even where no 32-bit program can run.
check_thiscall() {  # flavour
    local dir=${DIR[$1]} listing entry name bytes rets bad=""
    listing=$WORK/disassembly-$1.txt
    "$OBJDUMP32" -d -C "$dir/asio/$(library_of "$1")" >"$listing"
    for entry in "AsioOurs::init(void*)=0x4" "AsioOurs::getChannels(long*, long*)=0x8" \
        "AsioOurs::canSampleRate(double)=0x8" "AsioOurs::setSampleRate(double)=0x8" \
        "AsioOurs::getChannelInfo(ASIOChannelInfo*)=0x4" \
        "AsioOurs::createBuffers(ASIOBufferInfo*, long, long, ASIOCallbacks*)=0x10" \
        "AsioOursBase::future(long, void*)=0x8"; do
        name=${entry%=*}
        bytes=${entry##*=}
        rets=$(awk -v name="$name" '
            /^[0-9a-f]+ <.*>:$/ { inside = (index($0, "<" name ">:") > 0); next }
            inside && /\tret/ { sub(/.*\tret[l]? */, ""); print ($0 == "" ? "none" : $0) }' "$listing" |
            sort -u | tr '\n' ' ')
        [ "$rets" = "\$$bytes " ] || bad="$bad [$name: ${rets:-not found}]"
    done
    if [ -z "$bad" ]; then
        pass "$1: IASIO slots are thiscall (callee pops the arguments, this in ECX)"
    else
        fail "$1: IASIO slots not thiscall as expected:$bad"
    fi
}
for flavour in win32 win32-sim; do
    [ "${BUILT[$flavour]}" = 1 ] && check_thiscall "$flavour"
done

# ---- Wine prefix -----------------------------------------------------------------------

export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY  # no window may block: a message box would wait for a click
note "creating Wine prefix"
if "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1 && "$WINESERVER" -w; then
    pass "Wine prefix created"
else
    fail "wineboot failed:"
    sed 's/^/    /' "$WORK/wineboot.log"
    finish
fi
SYSTEM32=$WINEPREFIX/drive_c/windows/system32
SYSWOW64=$WINEPREFIX/drive_c/windows/syswow64
mkdir -p "$SYSWOW64"

wine_run() {  # log, program and arguments: runs under Wine with a time limit
    local log=$1
    shift
    timeout 300 "$WINE" "$@" >"$log" 2>&1
}

to_windows_path() { echo "Z:${1//\//\\}"; }

# The stand-in settings program records its command lines here.
STANDIN_LOG=$WORK/standin.log
export NX_STANDIN_LOG
NX_STANDIN_LOG=$(to_windows_path "$STANDIN_LOG")

# ---- registry checks -------------------------------------------------------------------

reg_value() {  # view (32|64), key, value name ("" = default): prints the REG_SZ data
    local args=(reg query "$2")
    if [ -z "$3" ]; then args+=(/ve); else args+=(/v "$3"); fi
    args+=("/reg:$1")
    "$WINE" "${args[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *\(([Dd]efault)\|([^)]*)\|[A-Za-z]*\) \{2,\}REG_SZ \{2,\}\(.*\)$/\2/p' | head -n 1
}

reg_key_exists() {  # view, key
    "$WINE" reg query "$2" "/reg:$1" >/dev/null 2>&1
}

expect_value() {  # label, view, key, name, expected
    local got
    got=$(reg_value "$2" "$3" "$4")
    if [ "$got" = "$5" ]; then
        pass "$1: $3 ${4:-(default)} = $5"
    else
        fail "$1: $3 ${4:-(default)} = '$got', expected '$5'"
    fi
}

expect_registered() {  # view, library path
    local label="registry view $1"
    expect_value "$label" "$1" "HKCR\\CLSID\\$CLASS_ID" "" "BRIXEN"
    expect_value "$label" "$1" "HKCR\\CLSID\\$CLASS_ID\\InprocServer32" "" "$2"
    expect_value "$label" "$1" "HKCR\\CLSID\\$CLASS_ID\\InprocServer32" "ThreadingModel" "Apartment"
    expect_value "$label" "$1" "HKLM\\SOFTWARE\\ASIO\\BRIXEN" "CLSID" "$CLASS_ID"
    expect_value "$label" "$1" "HKLM\\SOFTWARE\\ASIO\\BRIXEN" "Description" "BRIXEN"
}

expect_clean() {  # view, label
    if reg_key_exists "$1" "HKCR\\CLSID\\$CLASS_ID"; then
        fail "$2: class key still in registry view $1"
    else
        pass "$2: no class key in registry view $1"
    fi
    if reg_key_exists "$1" "HKLM\\SOFTWARE\\ASIO\\BRIXEN"; then
        fail "$2: HKLM\\SOFTWARE\\ASIO\\BRIXEN still in registry view $1"
    else
        pass "$2: no HKLM\\SOFTWARE\\ASIO\\BRIXEN in registry view $1"
    fi
}

regsvr() {  # label, regsvr32 arguments...
    local label=$1
    shift
    if wine_run "$WORK/regsvr32.log" regsvr32 /s "$@"; then
        pass "$label"
    else
        fail "$label (exit $?):"
        sed 's/^/    /' "$WORK/regsvr32.log"
    fi
}

# ---- test host -------------------------------------------------------------------------

# Runs the flavour's test host; its output goes to $WORK/<name>.log. Returns its exit code.
# The host runs from a folder of its own, so that the programs WinExec starts can only be
# found where they are installed (the build folder also holds a stand-in settings program).
host() {  # flavour, log name, host arguments...
    local flavour=$1 name=$2
    shift 2
    mkdir -p "$WORK/host-$flavour"
    cp "${DIR[$flavour]}/tests/wine/nx_wine_host.exe" "$WORK/host-$flavour/"
    (cd "$WORK" && wine_run "$WORK/$name.log" "$WORK/host-$flavour/nx_wine_host.exe" "$@")
}

expect_host_ok() {  # label, log name, exit code
    if [ "$3" = 0 ]; then
        pass "$1"
    else
        fail "$1 (exit $3):"
        sed 's/^/    /' "$WORK/$2.log"
    fi
}

expect_line() {  # label, log name, exact line
    if tr -d '\r' <"$WORK/$2.log" | grep -qxF -- "$3"; then
        pass "$1: $3"
    else
        fail "$1: no line '$3' in $2.log"
    fi
}

expect_standin() {  # label, command line the stand-in must have recorded last
    local last
    last=$(tr -d '\r' <"$STANDIN_LOG" 2>/dev/null | tail -n 1)
    if [ "$last" = "$2" ]; then
        pass "$1: settings program started as '$2'"
    else
        fail "$1: settings program started as '$last', expected '$2'"
    fi
}

# Waits until the stand-in settings program has recorded `count` lines (it runs detached).
wait_standin() {  # count
    local i
    for i in $(seq 1 300); do
        [ "$(wc -l <"$STANDIN_LOG" 2>/dev/null || echo 0)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# The checks above read the two views apart; a probe in the 32-bit view shows that they do
# (otherwise "absent in view 32" could pass for a query that cannot see that view at all).
PROBE_KEY='HKCR\CLSID\{00000000-4E58-5052-4F42-450000000000}'
if "$WINE" reg add "$PROBE_KEY" /ve /d probe /f /reg:32 >/dev/null 2>&1 &&
    reg_key_exists 32 "$PROBE_KEY" && ! reg_key_exists 64 "$PROBE_KEY"; then
    pass "reg query tells the 32-bit and the 64-bit registry view apart"
else
    fail "reg query does not tell the 32-bit and the 64-bit registry view apart"
fi
"$WINE" reg delete "$PROBE_KEY" /f /reg:32 >/dev/null 2>&1

# ---- registration and the no-device session ---------------------------------------------

note "registration, COM activation, no-device session"
if [ "${BUILT[win64]}" = 1 ]; then
    cp "${DIR[win64]}/asio/Nxqe2650.dll" "$SYSTEM32/"
    cp "${DIR[win64]}/tests/wine/Nxsp2650.exe" "$SYSTEM32/"
fi
if [ "${BUILT[win32]}" = 1 ]; then
    cp "${DIR[win32]}/asio/Nxqf2650.dll" "$SYSWOW64/"
    cp "${DIR[win32]}/tools/launcher/Nxlh2650.dat" "$SYSWOW64/"
fi

standin_lines=0
if [ "${BUILT[win64]}" = 1 ]; then
    regsvr "regsvr32 Nxqe2650.dll (64-bit)" 'C:\windows\system32\Nxqe2650.dll'
    expect_registered 64 'C:\windows\system32\Nxqe2650.dll'
    expect_clean 32 "64-bit registration leaves the 32-bit view alone"

    host win64 nodevice64 nodevice
    expect_host_ok "64-bit COM activation and no-device session" nodevice64 $?
    expect_line "64-bit host" nodevice64 "init=0"
    expect_line "64-bit host" nodevice64 "driver_name=BRIXEN"
    expect_line "64-bit host" nodevice64 "error_message=Can not found a device. Please connect the device."
    expect_line "64-bit host" nodevice64 "control_panel=0"
    standin_lines=$((standin_lines + 1))
    wait_standin $standin_lines
    expect_standin "64-bit controlPanel" "Nxsp2650.exe DrvConfig 0"

    # A PE program with the .dat extension starts through WinExec, and the launcher passes
    # its arguments on: checked here with the 64-bit launcher from a 64-bit process.
    mkdir -p "$WORK/launch64"
    cp "${DIR[win64]}/tools/launcher/Nxlh2650.dat" "${DIR[win64]}/tests/wine/nx_wine_host.exe" "$WORK/launch64/"
    (cd "$WORK/launch64" && wine_run "$WORK/winexec64.log" ./nx_wine_host.exe winexec "Nxlh2650.dat Nxsp2650.exe DrvConfig 7")
    expect_host_ok "WinExec of Nxlh2650.dat (64-bit launcher)" winexec64 $?
    standin_lines=$((standin_lines + 1))
    wait_standin $standin_lines
    expect_standin "64-bit launcher" "Nxsp2650.exe DrvConfig 7"
    (cd "$WORK/launch64" && wine_run "$WORK/winexec-missing.log" ./nx_wine_host.exe winexec "Nxlh2650.dat Missing2650.exe DrvConfig 0")
    # The launcher starts, then fails to start the missing program: WinExec itself succeeds.
    expect_host_ok "WinExec of Nxlh2650.dat with a missing program" winexec-missing $?
    (cd "$WORK/launch64" && wine_run "$WORK/winexec-nolauncher.log" ./nx_wine_host.exe winexec "Nxlh9999.dat Nxsp2650.exe DrvConfig 0" expect-failure)
    expect_host_ok "WinExec of a missing launcher fails (below 32)" winexec-nolauncher $?
fi

if [ "${BUILT[win32]}" = 1 ]; then
    if [ "$RUN32" = 1 ]; then
        regsvr "regsvr32 Nxqf2650.dll (32-bit)" 'C:\windows\syswow64\Nxqf2650.dll'
        expect_registered 32 'C:\windows\syswow64\Nxqf2650.dll'
        [ "${BUILT[win64]}" = 1 ] && expect_registered 64 'C:\windows\system32\Nxqe2650.dll'

        host win32 nodevice32 nodevice
        expect_host_ok "32-bit COM activation and no-device session" nodevice32 $?
        expect_line "32-bit host" nodevice32 "bits=32"
        expect_line "32-bit host" nodevice32 "init=0"
        expect_line "32-bit host" nodevice32 "driver_name=BRIXEN"
        expect_line "32-bit host" nodevice32 "error_message=Can not found a device. Please connect the device."
        expect_line "32-bit host" nodevice32 "control_panel=0"
        standin_lines=$((standin_lines + 1))
        wait_standin $standin_lines
        expect_standin "32-bit controlPanel through Nxlh2650.dat" "Nxsp2650.exe DrvConfig 0"
    else
        skip32 "32-bit registration, COM activation and no-device session"
    fi
fi

if [ "${BUILT[win64]}" = 1 ]; then
    regsvr "regsvr32 /u Nxqe2650.dll (64-bit)" /u 'C:\windows\system32\Nxqe2650.dll'
    expect_clean 64 "64-bit unregistration"
    if reg_key_exists 64 'HKLM\SOFTWARE\ASIO'; then
        pass "64-bit unregistration keeps HKLM\\SOFTWARE\\ASIO"
    else
        fail "64-bit unregistration removed HKLM\\SOFTWARE\\ASIO"
    fi
    if [ "$RUN32" = 1 ] && [ "${BUILT[win32]}" = 1 ]; then
        expect_registered 32 'C:\windows\syswow64\Nxqf2650.dll'
    fi
fi
if [ "${BUILT[win32]}" = 1 ] && [ "$RUN32" = 1 ]; then
    regsvr "regsvr32 /u Nxqf2650.dll (32-bit)" /u 'C:\windows\syswow64\Nxqf2650.dll'
    expect_clean 32 "32-bit unregistration"
    expect_clean 64 "after both unregistrations"
fi

# ---- streaming with the simulated device ------------------------------------------------

note "streaming with the sim-backed builds"
SIM_CONFIG=$WORK/brixen-sim.cfg
cat >"$SIM_CONFIG" <<'EOF'
# One loopback BRIXEN at 48 kHz, 4 bytes per sample, two inputs and two outputs.
[device 1]
sample_rate = 48000
bytes_per_sample = 4
inputs = 2
outputs = 2
buffer_size = 64 2048 256 32
loopback = 1
clock = realtime
EOF
export NXKD_SIM
NXKD_SIM=$(to_windows_path "$SIM_CONFIG")

stream_flavour() {  # flavour, system directory (Unix), system directory (Windows), bits
    local flavour=$1 unixdir=$2 windir=$3 bits=$4 lib
    lib=$(library_of "$flavour")
    cp "${DIR[$flavour]}/asio/$lib" "$unixdir/"
    regsvr "regsvr32 $lib ($flavour)" "$windir\\$lib"
    expect_value "$flavour registration" "$bits" "HKCR\\CLSID\\$CLASS_ID\\InprocServer32" "" "$windir\\$lib"
    host "$flavour" "stream-$flavour" stream 1500
    expect_host_ok "$flavour: loopback streaming session through COM" "stream-$flavour" $?
    expect_line "$flavour host" "stream-$flavour" "bits=$bits"
    expect_line "$flavour host" "stream-$flavour" "init=1"
    expect_line "$flavour host" "stream-$flavour" "can_sample_rate_48000=0"
    expect_line "$flavour host" "stream-$flavour" "can_sample_rate_48000.3=-995"
    expect_line "$flavour host" "stream-$flavour" "channel_in_0=0,PRIMARY,type 18,active 0"
    expect_line "$flavour host" "stream-$flavour" "captured_wrong_channel=0"
    grep -E '^(buffer_switches|captured_nonzero|captured_in_order|sample_position)=' "$WORK/stream-$flavour.log" |
        tr -d '\r' | sed "s/^/    $flavour: /"
    regsvr "regsvr32 /u $lib ($flavour)" /u "$windir\\$lib"
    expect_clean "$bits" "$flavour unregistration"
}

if [ "${BUILT[win64-sim]}" = 1 ]; then
    stream_flavour win64-sim "$SYSTEM32" 'C:\windows\system32' 64
fi
if [ "${BUILT[win32-sim]}" = 1 ]; then
    if [ "$RUN32" = 1 ]; then
        stream_flavour win32-sim "$SYSWOW64" 'C:\windows\syswow64' 32
    else
        skip32 "32-bit streaming session (thiscall slots with double and structure arguments)"
    fi
fi

"$WINESERVER" -k >/dev/null 2>&1 || true
finish
