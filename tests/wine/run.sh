#!/usr/bin/env bash
# kvrminiport.sys under Wine, end to end: the shipped image, unchanged, loaded
# by Wine's winedevice.exe next to a stand-in video port and a stand-in
# sibling frame driver, driven along the typical road by kvrwine.exe, with its
# published values read back from Wine's registry.
#
#   bash tests/wine/run.sh [path/to/kvrminiport.sys ...]
#
# Without an argument the road runs twice: on the image as linked,
# build/windows-x64/kvrminiport.sys, and on the signed image of the package,
# build/windows-x64/package/kvrminiport.sys; both are built with the
# windows-x64 preset when one is missing. Installs wine64 and wine with
# apt-get when wine is missing (as root). Every process it starts ends with
# it; each road is bounded by KVR_WINE_TIMEOUT seconds (default 240).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" != "--inner" ]; then
    started=$(date +%s)
    if ! command -v wine >/dev/null 2>&1; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "wine is missing; install it (as root: apt-get install -y wine64 wine)" >&2
            exit 1
        fi
        echo "--- installing wine64 and wine"
        export DEBIAN_FRONTEND=noninteractive
        timeout 900 apt-get update -qq
        timeout 900 apt-get install -y -qq wine64 wine >/dev/null
    fi

    if [ $# -eq 0 ]; then
        images=("$root/build/windows-x64/kvrminiport.sys"
            "$root/build/windows-x64/package/kvrminiport.sys")
        if [ ! -f "${images[0]}" ] || [ ! -f "${images[1]}" ]; then
            echo "--- building kvrminiport.sys and its package (windows-x64 preset)"
            (cd "$root" && cmake --preset windows-x64 >/dev/null &&
                cmake --build --preset windows-x64 >/dev/null)
        fi
    else
        images=("$@")
    fi

    status=0
    total_passed=0
    total_failed=0
    for sys in "${images[@]}"; do
        if [ ! -f "$sys" ]; then
            echo "no driver image at $sys" >&2
            exit 1
        fi
        echo "=== $sys"
        work=$(mktemp -d "${TMPDIR:-/tmp}/kvrwine.XXXXXX")
        export KVR_WINE_WORK=$work KVR_WINE_SYS=$(cd "$(dirname "$sys")" && pwd)/$(basename "$sys")
        export WINEPREFIX=$work/prefix
        road=0
        timeout -k 10 "${KVR_WINE_TIMEOUT:-240}" bash "$0" --inner || road=$?
        # End everything that ran in the prefix (services, winedevice, clients).
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        if [ "$road" -eq 124 ] || [ "$road" -eq 137 ]; then
            echo "FAIL the run did not finish within ${KVR_WINE_TIMEOUT:-240} s"
        fi
        if [ -f "$work/counts" ]; then
            read -r passed failed <"$work/counts"
        else
            passed=0 failed=1
        fi
        total_passed=$((total_passed + passed))
        total_failed=$((total_failed + failed))
        [ "$road" -eq 0 ] || status=$road
        if [ -n "${KVR_WINE_KEEP:-}" ]; then
            echo "--- kept $work"
        else
            rm -rf "$work"
        fi
    done
    echo "--- wall time $(($(date +%s) - started)) s"
    echo "wine: $total_passed passed, $total_failed failed"
    exit "$status"
fi

# ---------------------------------------------------------------------------
# Inner part: runs under timeout, with WINEPREFIX set to a new prefix.
work=$KVR_WINE_WORK
bin=$work/bin
mkdir -p "$bin"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
inner_start=$(date +%s%N)

step() {
    local tenths=$((($(date +%s%N) - inner_start) / 100000000))
    printf -- '--- %s (at %d.%d s)\n' "$1" $((tenths / 10)) $((tenths % 10))
}

passed=0
failed=0
pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }

# Runs kvrwine.exe with the given steps and counts its checks. The client's
# exit code is its number of failed checks; any other ending (a crash, a
# hang cut by the time limit) counts as one more failure.
client() {
    local out code=0 fails
    out=$(timeout -k 5 120 wine "$bin/kvrwine.exe" "$@" </dev/null 2>/dev/null) || code=$?
    printf '%s\n' "$out" | sed '/^$/d'
    passed=$((passed + $(printf '%s\n' "$out" | grep -c '^ok ' || true)))
    fails=$(printf '%s\n' "$out" | grep -c '^FAIL' || true)
    failed=$((failed + fails))
    [ "$code" -eq "$fails" ] || fail "kvrwine.exe ended with code $code after $fails failed checks"
}

step "building the stand-ins and the client (while the prefix is made)"
kernel_flags=(-std=c++20 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -ffreestanding
    -mno-red-zone -fno-builtin -fno-stack-protector -isystem /usr/share/mingw-w64/include/ddk
    -shared -nostdlib -Wl,--subsystem,native)
cxx=x86_64-w64-mingw32-g++
command -v $cxx >/dev/null || { echo "FAIL $cxx is missing (g++-mingw-w64-x86-64)"; exit 1; }
(
    $cxx "${kernel_flags[@]}" -Wl,--entry,VideoPortEntry -o "$bin/videoprt.sys" \
        "$here/videoprt.cpp" "$here/videoprt.def" -Wl,--out-implib,"$bin/libkvrvideoport.a" \
        -lntoskrnl -lhal
    $cxx "${kernel_flags[@]}" -Wl,--entry,DriverEntry -o "$bin/kevo.sys" "$here/kevo.cpp" \
        -L"$bin" -lkvrvideoport -lntoskrnl -lhal
) &
build_drivers=$!
$cxx -std=c++20 -O2 -Wall -Wextra -Werror -static -o "$bin/kvrwine.exe" "$here/client.cpp" &
build_client=$!

# The frame IDs come from the driver's own tables: the vendor, the first
# monitor-mode ID that is not a wide model, and the wide alternate-mode ID.
ids=$root/driver/detect/ids.cpp
table() { sed -n "/^constexpr char $1\[/,/};/p" "$ids" | grep -o '"[0-9A-Fa-f]\{4\}"' | tr -d '"'; }
vid=$(table FrameVendorId | head -1)
wide_alt=$(table WideModelIds | head -1)
mon=$(table MonitorModeIds | grep -v -i -x -F "$(table WideModelIds)" | head -1)
if [ -z "$vid" ] || [ -z "$mon" ] || [ -z "$wide_alt" ]; then
    echo "FAIL cannot read the frame IDs from $ids"
    exit 1
fi
echo "frame vendor $vid, monitor-mode product $mon, wide alternate-mode product $wide_alt"

wineboot -i </dev/null >/dev/null 2>&1
# Services started before the first server has gone fail with error 1053.
wineserver -w
wait $build_drivers || { echo "FAIL building the stand-in drivers"; exit 1; }
wait $build_client || { echo "FAIL building kvrwine.exe"; exit 1; }

step "installing the drivers as kernel services (one winedevice process)"
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
cp "$bin/videoprt.sys" "$bin/kevo.sys" "$drivers/"
cp "$KVR_WINE_SYS" "$drivers/kvrminiport.sys"

# One user process lives for the whole road: Wine ends the service processes
# (and with them the drivers) once no user process is left.
wine "$bin/kvrwine.exe" sleep:600000 </dev/null >/dev/null 2>&1 &

for service in videoprt:videoprt KEVO:kevo kvrminiport:kvrminiport; do
    name=${service%%:*}
    file=${service#*:}
    # The first creation in a new prefix fails now and then; try again.
    for attempt in 1 2 3 4 5; do
        if wine sc create "$name" type= kernel start= demand group= KvrTest \
            binPath= "C:\\windows\\system32\\drivers\\$file.sys" </dev/null >/dev/null 2>&1; then
            break
        fi
        [ "$attempt" -lt 5 ] || { echo "FAIL sc create $name"; exit 1; }
        sleep 0.2
    done
done

# The product key with the installation folder, and the sibling's device key
# without an acceleration level.
install_location='C:\Program Files\Kvr'
client "regset:product:InstallLocation:sz:$install_location" \
    regset:peer:Acceleration.Level:dword:0 regdel:peer:Acceleration.Level

for name in videoprt KEVO kvrminiport; do
    for attempt in 1 2 3; do
        if wine sc start "$name" </dev/null 2>/dev/null | grep -q 'RUNNING'; then
            pass "service $name running"
            break
        fi
        if [ "$attempt" -eq 3 ]; then
            fail "service $name running"
            exit 1
        fi
        sleep 1
    done
done

# Checks values of the product key as `wine reg query` shows them: each
# argument is NAME=TYPE:DATA, DeviceInfo and DeviceStatus by default as
# REG_BINARY (reg_check INFO STATUS).
reg_query() {
    local out item name want seen
    out=$(wine reg query 'HKLM\Software\Korvane\Brindlecourt' </dev/null 2>/dev/null | tr -d '\r')
    for item in "$@"; do
        name=${item%%=*}
        want=${item#*=}
        want=${want/:/ }
        seen=$(printf '%s\n' "$out" | awk -v n="$name" '$1 == n {print $2 " " $3}')
        if [ "$seen" = "$want" ]; then
            pass "reg query $name = $want"
        else
            fail "reg query $name = $want: seen '$seen'"
        fi
    done
}
reg_check() { reg_query "DeviceInfo=REG_BINARY:$1" "DeviceStatus=REG_BINARY:$2"; }

zero16=00000000000000000000000000000000
path="u:\\??\\$install_location\\kvrndis.dat"

# Before the adapter has started there is no video device and no display
# driver: a private request reaches nothing (ERROR_NOT_READY).
step "load; private requests before the adapter start reach nothing"
client \
    vp:InitializeCalls=1,ZeroMemoryCalls\>=1,HwInitDataSize=144,HwDeviceExtensionSize=280 \
    vp:AdapterInterfaceType=0,Redirected=63,InterfaceRegistrations=0,ProfileRegistrations=0 \
    wait:DeviceInfo:0000 wait:DeviceStatus:$zero16 \
    control-device:absent \
    fixed \
    power:0xFFFFFFFF:1 \
    io:234018:AAAAAAAAAAAA:6:21:0 \
    io:234034:-:1:21:0 \
    vp:StartIoCalls=0,InitializeAdapterCalls=0,ForwardedRequests=0,ExtensionUntouched=1
reg_check 0000 $zero16

# The frame is already plugged in when the adapter starts: its arrival comes
# with the registration itself.
step "frame $vid/$mon in monitor mode, present at the adapter start: mode 2, then 3"
client \
    reply:4:later:02 reply:1:later:0821 reply:6:later:0000 reply:7:later:0000 \
    "plug:$vid:$mon:SN0001XYZ" \
    vp:ArrivalsDelivered=0 \
    start \
    vp:FindAdapterCalls=1,InterfaceRegistrations=1,ProfileRegistrations=1,OtherRegistrations=0 \
    vp:InterfaceRegistrationFlags=1,InterfaceRegistrationClassIsUsb=1 \
    vp:ProfileRegistrationHasData=0,RegistrationsWithoutDriver=0,ArrivalsDelivered=1 \
    control-device \
    vp:InitializeAdapterCalls=1,DisplayOpens=1 \
    video-device vp:UserOpensRefused\>=1,StartIoCalls=0 \
    io:234018:AAAAAAAAAAAA:6:0:6:..........AA \
    io:234018:-:6:0:6:..........00 \
    io:234034:-:1:0:1:00 \
    io:23402C:-:200:122:0 \
    io:234008:-:4:0:4:00000000 \
    io:234004:-:0:0:0 \
    vp:ExtensionUntouched=1,LastStartIoResult=1,StartIoCalls=6,ForwardedRequests=6 \
    start \
    vp:FindAdapterCalls=2,InterfaceRegistrations=1,ProfileRegistrations=1,ArrivalsDelivered=1 \
    vp:InitializeAdapterCalls=1,DisplayOpens=1 \
    wait:DeviceStatus:01020000000000000000000000000000 \
    wait:DeviceInfo:0821 \
    vp:ArrivalsDelivered=1,PeerOpenCalls=1,PeerOpenFailures=0,PeerOpenAccess=0x1F01FF \
    kevo:PeerCreates=1,PeerCloses=1,Malformed=0,OtherCommands=0,Command1\>=1,Command4\>=1 \
    vp:TargetRegistrations=1,Unregistrations=0 \
    reply:4:later:03 \
    wait:DeviceStatus:01030000000000000000000000000000 \
    mark grow:Command1:3 kevo:Command4+=0,Command6+=0 \
    reply:1:later:0822 wait:DeviceInfo:0822 \
    reply:1:pending sleep:600 kevo:Pending\>=1 wait:DeviceInfo:0822 \
    reply:1:fail complete:1355 kevo:Pending=0 wait:DeviceInfo:1355 \
    reply:1:later:0822 wait:DeviceInfo:0822 \
    io:234018:AAAAAAAAAAAA:6:0:6:2003E00110AA \
    io:234018:-:5:122:0 \
    kevo:Malformed=0
reg_check 0822 01030000000000000000000000000000

step "ActivateClient, then input pending"
client \
    io:234014:-:0:0:0 \
    sleep:500 mark grow:Command6:2 kevo:Command1+=0 \
    reply:6:later:0155 \
    wait:DeviceStatus:01030000010000000000000000000000 \
    mark sleep:1200 kevo:Command6+=0,Command7+=0,Command1+=0
reg_check 0822 01030000010000000000000000000000

step "QueryDataFilePath, external session, orientation, wide model"
client \
    "io:23402C:-:200:0:200:$path" \
    io:23402C:-:199:122:0 \
    regset:peer:Acceleration.Level:dword:1 io:23402C:-:200:122:0 \
    regset:peer:Acceleration.Level:dword:0 "io:23402C:-:200:0:200:$path" \
    regdel:peer:Acceleration.Level \
    io:234000:44332211886677:0:122:0 \
    io:234000:4433221188776655:0:0:0 \
    vp:LastIoControlCode=0x234000,LastStatus=0,LastInformation=0 \
    wait:DeviceStatus:01030100010000004433221188776655 \
    io:234000:1122334455667788:4:0:0 \
    io:234000:1122334455667788:8:0:8:1122334455667788 \
    wait:DeviceStatus:01030100010000004433221188776655 \
    io:23400C:030000:0:122:0 \
    io:23400C:03000000:0:0:0 \
    vp:LastIoControlCode=0x23400C,LastInformation=0 \
    wait:Orientation:03000000 \
    io:234008:-:3:122:0 \
    io:234008:-:4:0:4:03000000 \
    io:234030:-:0:0:0 \
    wait:DeviceStatus:01030000010000004433221188776655 \
    io:234034:-:1:0:1:00 \
    io:234034:-:0:122:0
reg_query Orientation=REG_DWORD:0x3 DeviceStatus=REG_BINARY:01030000010000004433221188776655

step "power off, QueryPowerOff, power on"
client \
    power:0xFFFFFFFF:4 \
    sleep:500 mark grow:Command1:3 kevo:Command6+=0 \
    io:234024:-:1:0:1:01 \
    wait:DeviceStatus:01030001010000004433221188776655 \
    io:234024:-:1:0:1:01 \
    io:234024:-:0:122:0 \
    power:0:1 \
    io:234024:-:1:0:1:01 \
    wait:DeviceStatus:01030000010000004433221188776655 \
    io:234024:-:1:0:1:00
reg_check 0822 01030000010000004433221188776655

step "frame $vid/$mon unplugged"
client \
    "unplug:$vid:$mon:SN0001XYZ" \
    wait:DeviceStatus:00000000000000004433221188776655 \
    wait:DeviceInfo:0000 \
    vp:RemovalsDelivered=1,TargetRegistrations=1,Unregistrations=1 \
    io:23402C:-:200:122:0 \
    sleep:500 mark sleep:800 kevo:Command1+=0,Command4+=0,Command6+=0,Command7+=0 \
    kevo:Malformed=0,OtherCommands=0,Pending=0
reg_check 0000 00000000000000004433221188776655

step "wide frame $vid/$wide_alt in its alternate mode"
client \
    "plug:$vid:$wide_alt:ALT0001" \
    wait:DeviceStatus:01010000000000004433221188776655 \
    io:234034:-:1:0:1:01 \
    "unplug:$vid:$wide_alt:ALT0001" \
    wait:DeviceStatus:00000000000000004433221188776655 \
    vp:PeerOpenCalls=1,ArrivalsDelivered=2,RemovalsDelivered=2
reg_check 0000 00000000000000004433221188776655

step "frames the driver leaves alone: TrayPre 1, an external-session instance, another vendor"
client \
    regset:product:TrayPre:dword:1 \
    "plug:$vid:$mon:SN0002" sleep:700 \
    vp:ArrivalsDelivered=3,PeerOpenCalls=1 \
    wait:DeviceStatus:00000000000000004433221188776655 \
    regset:product:TrayPre:dword:0 \
    "unplug:$vid:$mon:SN0002" \
    "plug:$vid:$mon:TQXRA4B01" \
    wait:DeviceStatus:00000100000000004433221188776655 \
    sleep:700 vp:PeerOpenCalls=1 \
    "unplug:$vid:$mon:TQXRA4B01" \
    io:234030:-:0:0:0 \
    wait:DeviceStatus:00000000000000004433221188776655 \
    "plug:1234:$wide_alt:OTHER01" sleep:700 \
    vp:ArrivalsDelivered=5,PeerOpenCalls=1 \
    io:234034:-:1:0:1:00 \
    "unplug:1234:$wide_alt:OTHER01" \
    vp:ReplyOverruns=0,UndefinedReplyBytes=0,DisplayOpens=1
reg_check 0000 00000000000000004433221188776655

step "done"
echo "$passed $failed" >"$work/counts"
echo "this image: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
