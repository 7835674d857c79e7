#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs in the guest at boot (vm-checks.service): the installed package's daemon under the
# real systemd, udevd and kernel, then the module's own probe (vheadset-probe) and, where
# the story tests were copied in, the stories on the kernel backend. Every check prints
# "PASS: ..." or "FAIL: ..."; a failing check also prints the daemon's journal, the module's
# write log and the unit's status. The unit saves the output in /root/vm-result.txt, which
# the host reads back from the disk image; the last line is "RESULT: n passed, m failed".
#
# The module is not loaded at boot: the service starts without its devices, fails and is
# restarted by systemd until the module comes, a minute after boot.
set -uo pipefail

passed=0
failed=0
finished=0
trap '[ $finished = 1 ] || echo "RESULT: $passed passed, $failed failed, ABORTED at line $LINENO"' EXIT

ctl=/sys/kernel/debug/vheadset/control
log=/sys/kernel/debug/vheadset/log
drv=/sys/bus/platform/drivers/vheadset
ps=/sys/class/power_supply
charger=$ps/pm8550b-charger
hotswap=$ps/pellgrave-hotswap
limiter=c400000.spmi:pmic@1:sensor@4700
bcl_platform=/sys/bus/platform/devices/$limiter
run_dir=/run/charged
status_files=(ac_status battery_percent battery_status secs_until_shutdown_request
              secs_until_battery_full typec_contract)

diagnose() {
    echo "---- journalctl -u charged (last 80 lines)"
    journalctl -u charged -n 80 --no-pager -o short-monotonic 2>&1
    echo "---- the module's write log (last 40 lines)"
    if [ -r "$log" ]; then tail -n 40 "$log"; else echo "(no module)"; fi
    echo "---- systemctl status charged"
    systemctl status charged --no-pager -n 0 2>&1
    echo "----"
}
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
    diagnose
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
uptime_s() { cut -d. -f1 /proc/uptime; }
prop() { systemctl show -p "$1" --value charged; }
main_pid() { prop MainPID; }

# The journal's position now: charged's lines after it are what an action caused. The cursor
# is of charged's own last line: journalctl --after-cursor with -u skips the first entry it
# finds after the cursor as if it were the cursor's own, so a cursor of another unit's line
# would hide charged's first line after it.
mark() { journalctl -u charged -q -n 1 -o export | sed -n 's/^__CURSOR=//p'; }
# journal_wait CURSOR SECONDS ERE: waits for a line of charged's journal after CURSOR that
# matches, following the journal as it is written.
journal_wait() {
    local cursor=$1 seconds=$2 pattern=$3 fd follower status
    exec {fd}< <(exec journalctl -u charged -o cat -f --no-tail ${cursor:+--after-cursor="$cursor"} 2>/dev/null)
    follower=$!
    timeout "$seconds" grep -m 1 -qE -- "$pattern" <&"$fd"
    status=$?
    kill "$follower" 2>/dev/null
    exec {fd}<&-
    return $status
}
# charged's journal after CURSOR.
journal_since() { journalctl -u charged -o cat --no-pager ${1:+--after-cursor="$1"}; }

# log_wait SECONDS ERE: waits for a line of the module's write log that matches, reading the
# log from the descriptor log_fd (opened by log_open, so only writes after that count).
log_open() {
    exec {log_fd}<"$log"
    while IFS= read -r -t 0.1 -u "$log_fd" _; do :; done
}
log_wait() {
    local seconds=$1 pattern=$2 line deadline
    deadline=$(($(date +%s) + seconds))
    while [ "$(date +%s)" -lt "$deadline" ]; do
        # The log answers poll() with POLLIN when a line is waiting; read -t polls it.
        while IFS= read -r -t 0.5 -u "$log_fd" line; do
            echo "   log: $line"
            [[ $line =~ $pattern ]] && return 0
        done
    done
    return 1
}
log_close() { exec {log_fd}<&-; }

# by_name CLASS_DIR NAME: the class device of that name, as the daemon's udev lookup finds it.
source /usr/local/lib/vheadset/guest-lib.sh
owner_is() { [ "$(stat -L -c %U "$1" 2>/dev/null)" = "$2" ]; }

echo "== guest kernel $(uname -r) ($(uname -v)), systemd $(systemctl --version | head -n1 | cut -d' ' -f2)"
echo "== package $(dpkg-query -W -f='${Package} ${Version}' charged 2>&1)"

# ---------------------------------------------------------------------------------------
echo "== before the devices come (the module is loaded $((60 - $(uptime_s))) s from now)"
check "the module is not loaded at boot" bash -c '! grep -q "^vheadset " /proc/modules'
check "the package is installed" \
    bash -c '[ "$(dpkg-query -W -f="\${Status}" charged)" = "install ok installed" ]'
for f in /usr/sbin/charged /lib/systemd/system/charged.service /usr/lib/sysusers.d/charged.conf \
    /usr/lib/udev/rules.d/60-charged.rules /usr/lib/charged/debugfs/dri/0; do
    check "the package ships $f" bash -c "dpkg -L charged | grep -qx '$f' && test -e '$f'"
done
echo "user: $(getent passwd charged), group: $(getent group charged)"
check "the system user charged exists, in the group charged, without a login shell" bash -c '
    IFS=: read -r _ _ uid gid _ _ shell < <(getent passwd charged) &&
    [ "$uid" -lt 1000 ] && [ "$gid" = "$(getent group charged | cut -d: -f3)" ] &&
    [ "$shell" = /usr/sbin/nologin ]'
check "the unit is enabled" bash -c '[ "$(systemctl is-enabled charged)" = enabled ]'
systemd-analyze security charged --no-pager >/tmp/security.txt 2>&1
grep -E '^✗|Overall' /tmp/security.txt
exposure=$(sed -n 's/.*Overall exposure level for charged.service: \([0-9.]*\).*/\1/p' /tmp/security.txt)
echo "security exposure: ${exposure:-?}"
check "systemd-analyze security charged: exposure ${exposure:-?}, 1.0 or lower" \
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 1.0) }'
check "the service's user is charged (User=)" bash -c '[ "$(systemctl show -p User --value charged)" = charged ]'
# Without its devices a start fails; systemd starts it again after RestartSec=.
restarts_seen() { [ "$(prop NRestarts)" -ge "$1" ]; }
deadline=$(($(date +%s) + 40))
until restarts_seen 3 || [ "$(date +%s)" -ge "$deadline" ]; do
    journal_wait "$(mark)" 10 'Starting ' || true
done
echo "restarts so far: $(prop NRestarts), state $(prop ActiveState)/$(prop SubState), uptime $(uptime_s) s"
journalctl -u charged -o cat --no-pager | grep -vE '^(Searching|Opened) ' | tail -n 12
check "without devices the service fails its start and systemd starts it again (3 times)" restarts_seen 3

# The devices come a minute after boot.
while [ "$(uptime_s)" -lt 60 ]; do sleep 1; done
echo "== the devices come: modprobe vheadset at $(uptime_s) s after boot"
echo "service before: $(prop ActiveState)/$(prop SubState), $(prop NRestarts) restarts"
check "after a minute of failed starts the service is not given up (no start limit hit)" \
    bash -c '[ "$(systemctl show -p ActiveState --value charged)" != failed ]'
cursor=$(mark)
arrival=$(date +%s%N)
check "modprobe vheadset" modprobe vheadset
if journal_wait "$cursor" 30 '^---- Current State ----$'; then
    pass "the service does its job $(( ($(date +%s%N) - arrival) / 1000000 )) ms after the devices came (30 s allowed)"
else
    fail "the service does its job within 30 s of the devices' arrival"
fi
pid=$(main_pid)
startup=$(journalctl -u charged _PID="$pid" -o cat --no-pager)
echo "-- the start-up of process $pid"
sed -n '1,/^---- Current State ----$/p' <<<"$startup"

# ---------------------------------------------------------------------------------------
echo "== start-up"
check "the service is active (running)" \
    bash -c '[ "$(systemctl show -p SubState --value charged)" = running ]'
for name in mp3317-scene-illum-ir tps61377 backlight_left backlight_right \
    c400000.spmi:pmic@0:vadc@9000 "$limiter" pellgrave-hotswap; do
    check "start-up finds $name (Searching for, then Opened)" bash -c '
        grep -A1 -E "^Searching for $1 - " <<<"$2" | grep -q "^Opened /sys/devices/"' _ "$name" "$startup"
done
check "start-up asks the USB-C source for its event" \
    grep -qx '/sys/class/power_supply/tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00/uevent' <<<"$startup"
check "start-up links BAT0 to the internal fuel gauge" \
    grep -q 'symlink created for BAT0 -> /sys/class/power_supply/max1720x_bat_3-36/' <<<"$startup"
check "start-up finds the hot-swap controller" grep -qx 'Found Tavlock Headstrap' <<<"$startup"
# The manual control files do not exist until other software makes them.
check "start-up reports no failure" bash -c '! sed -n "1,/^---- Current State ----\$/p" <<<"$1" |
    grep -vE "^Open (set_internal_batt_primary|set_external_batt_primary|cross_charge_secondary|disable_cross_charging) failed" |
    grep -qiE "fail|NOT found"' _ "$startup"
check "the report (---- Current State ----) is in the journal" grep -qx -- '---- Current State ----' <<<"$startup"
user=$(ps -o user= -p "$pid")
echo "process $pid: user $user, $(grep -E '^(Uid|Gid|Groups|CapEff):' /proc/"$pid"/status | tr '\t\n' '  ')"
check "the daemon runs as user charged (ps)" test "$user" = charged
uid=$(id -u charged)
check "its real, effective, saved and file system uid are charged's ($uid)" \
    grep -qE "^Uid:\s+$uid\s+$uid\s+$uid\s+$uid$" /proc/"$pid"/status
check "it has no capability" grep -qE '^CapEff:\s+0+$' /proc/"$pid"/status
echo "-- attribute owners"
hwmon=$(by_name /sys/class/hwmon "$limiter")
ls -l "$charger/" "$hwmon/" "$bcl_platform/bcl_enable" | grep -E 'charged|bcl|in0' || true
check "the charger's written attributes belong to charged" bash -c "
    for a in constant_charge_voltage constant_charge_current termination_enable charging_pause \
             charging_enable aicl_enable aicl_rerun qph2_allow qph2_resume uevent; do
        [ \"\$(stat -c %U $charger/\$a)\" = charged ] || exit 1
    done"
check "the charger's read-only attributes stay root's" bash -c "
    for a in online status qph2 aicl_status; do [ \"\$(stat -c %U $charger/\$a)\" = root ] || exit 1; done"
check "the limiter's thresholds, bcl_enable and the supplies' uevent files belong to charged" bash -c "
    for f in $hwmon/in0_enable $hwmon/in0_min $hwmon/in0_lcrit $bcl_platform/bcl_enable \
             $hotswap/use_internal_battery $hotswap/interrupt_clear $ps/mp2652-charger/status \
             $ps/tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00/uevent; do
        [ \"\$(stat -L -c %U \$f)\" = charged ] || exit 1
    done"
# The charger's frequent change events pass the rules without a chown: an owner changed by
# hand stays as it is through one (a "change" written into uevent is sent at once; settle
# waits until udevd has handled it).
check "udev keeps the marker CHARGED_WRITABLE=1 in the charger's database entry" \
    bash -c "udevadm info -q property $charger | grep -qx CHARGED_WRITABLE=1"
chown root "$charger/charging_pause"
echo change >"$charger/uevent"
udevadm settle --timeout=30
check "a change event of the charger does not run the rules again" owner_is "$charger/charging_pause" root
chown charged "$charger/charging_pause"
check "the daemon's start-up writes reached the limiter and the charger (module log)" bash -c "
    grep -qE '/bcl_enable 1\$' $log && grep -qE '/in0_enable 0\$' $log &&
    grep -qE '/pm8550b-charger/constant_charge_voltage 8800000\$' $log"
# The limiter's debugfs counter through the unit's view of debugfs: the report shows it.
cursor=$(mark)
printf 'store %s bcl_throttle_accum 4711\nchange pm8550b-charger\n' "$limiter" >"$ctl"
check "the daemon reads the debugfs counter dri/0/bcl_throttle_accum (4711 in its report)" \
    journal_wait "$cursor" 30 '\[4711\]'
check "the service's view of /sys/kernel/debug holds only dri/0" bash -c "
    [ \"\$(nsenter -t $pid -m ls /sys/kernel/debug)\" = dri ] &&
    [ \"\$(nsenter -t $pid -m ls /sys/kernel/debug/dri)\" = 0 ]"
check "the service sees /sys read-only and /sys/devices writable" bash -c "
    nsenter -t $pid -m findmnt -n -o OPTIONS /sys | grep -qE '(^|,)ro(,|\$)' &&
    nsenter -t $pid -m findmnt -n -o OPTIONS /sys/devices | grep -qE '(^|,)rw(,|\$)'"

# ---------------------------------------------------------------------------------------
echo "== /run/charged"
ls -la "$run_dir"
check "/run/charged is charged:charged, mode 3775 (sticky)" \
    bash -c '[ "$(stat -c "%U:%G %a" /run/charged)" = "charged:charged 3775" ]'
for f in "${status_files[@]}"; do
    if text=$(setpriv --reuid=nobody --regid=nogroup --clear-groups cat "$run_dir/$f" 2>&1); then
        pass "user nobody reads the status file $f: $text"
    else
        fail "user nobody reads the status file $f: $text"
    fi
done
check "user nobody cannot create a control file" bash -c \
    '! setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "echo 1 >/run/charged/set_external_batt_primary" 2>/dev/null'
useradd --system --no-create-home --shell /usr/sbin/nologin --groups charged chargewriter
cursor=$(mark)
check "a member of the group charged creates set_external_batt_primary" \
    setpriv --reuid=chargewriter --regid=chargewriter --init-groups sh -c \
    'umask 002 && echo 1 >/run/charged/set_external_batt_primary'
ls -l "$run_dir/set_external_batt_primary"
# The sticky directory keeps a writer of control files to its own: the daemon's status files
# and links can be neither replaced nor removed by it.
as_writer() { setpriv --reuid=chargewriter --regid=chargewriter --init-groups sh -c "$1" 2>&1; }
writer_cannot() { ! as_writer "$1"; }
check "the group member may make a file of its own there" \
    as_writer 'echo 99.0 >/run/charged/.forged'
check "the group member cannot replace a status file (battery_percent)" \
    writer_cannot 'mv -f /run/charged/.forged /run/charged/battery_percent'
check "the group member cannot remove a status file (ac_status)" \
    writer_cannot 'rm -f /run/charged/ac_status'
check "the group member cannot replace the link BAT0" \
    writer_cannot 'ln -sfn /tmp /run/charged/BAT0'
check "the status files and BAT0 are still the daemon's" bash -c \
    '[ "$(stat -c %U /run/charged/battery_percent)" = charged ] &&
     [ "$(stat -c %U /run/charged/ac_status)" = charged ] &&
     [ -L /run/charged/BAT0 ] && [ "$(readlink /run/charged/BAT0)" != /tmp ]'
rm -f "$run_dir/.forged"
echo "change pm8550b-charger" >"$ctl"
check "the daemon sees it (external as primary: 1 in its report)" \
    journal_wait "$cursor" 30 'external as primary: 1'

# ---------------------------------------------------------------------------------------
echo "== drivers unbound and bound again while the daemon runs"
tps_dir=$(by_name /sys/class/regulator tps61377)
echo "tps61377 is $tps_dir"
cpu_before=$(prop CPUUsageNSec)
pid_before=$(main_pid)
period_start=$(date +%s%N)
cursor=$(mark)
for dev in c400000.spmi:pmic@7:charger@1000 2-0074 5-0040; do
    echo "$dev" >"$drv/unbind" && echo "unbound $dev"
done
check "the daemon loses the charger's file" journal_wait "$cursor" 45 '^Lost .*pm8550b-charger'
check "the daemon loses the regulator's file" \
    journal_wait "$cursor" 45 "^Lost .*($(basename "$tps_dir")|2-0074)"
check "the daemon loses the hot-swap controller's file" journal_wait "$cursor" 45 '^Lost .*pellgrave-hotswap'
cursor=$(mark)
for dev in c400000.spmi:pmic@7:charger@1000 2-0074 5-0040; do
    echo "$dev" >"$drv/bind" && echo "bound $dev"
done
tps_dir=$(by_name /sys/class/regulator tps61377)
echo "tps61377 is now $tps_dir"
check "the daemon reopens the charger's file" journal_wait "$cursor" 45 '^Reopened .*pm8550b-charger'
check "the daemon reopens the regulator's file" \
    journal_wait "$cursor" 45 "^Reopened .*($(basename "$tps_dir")|2-0074)"
check "the daemon reopens the hot-swap controller's file" \
    journal_wait "$cursor" 45 '^Reopened .*pellgrave-hotswap'
journal_since "$cursor" | grep -E '^(Lost|Reopened) ' || true
cpu_ms=$(( ($(prop CPUUsageNSec) - cpu_before) / 1000000 ))
period_ms=$(( ($(date +%s%N) - period_start) / 1000000 ))
echo "the daemon used $cpu_ms ms of CPU in $period_ms ms"
check "no spin: the daemon used less than 5 % of a CPU over the unbound period ($cpu_ms ms in $period_ms ms)" \
    test $((cpu_ms * 20)) -lt "$period_ms"
check "the same process ran throughout" test "$(main_pid)" = "$pid_before"
check "the rebound charger's and controller's files belong to charged again (udev rules ran again)" \
    bash -c "owner_is() { [ \"\$(stat -L -c %U \"\$1\")\" = \"\$2\" ]; }
             owner_is $charger/constant_charge_voltage charged && owner_is $hotswap/interrupt_clear charged"
cursor=$(mark)
echo "set pm8550b-charger qph2 1" >"$ctl"
check "the rebound charger's flag is watched again (qph state changed 1)" \
    journal_wait "$cursor" 30 '^qph state changed 1$'
echo "set tps61377 state enabled" >"$ctl"
check "the rebound regulator is watched again (a load in the report)" \
    journal_wait "$cursor" 30 'Load: 0x[1-9A-F]'
log_open
printf 'set pellgrave-hotswap realtime_pack_connected 1\nchange pellgrave-hotswap\n' >"$ctl"
check "the rebound hot-swap controller is used again (the daemon writes to it when a pack comes)" \
    log_wait 30 '/pellgrave-hotswap/(interrupt_clear|enable_cross_charger|use_internal_battery) '
log_close
printf 'set pm8550b-charger qph2 0\nset tps61377 state disabled\nset pellgrave-hotswap realtime_pack_connected 0\nchange pellgrave-hotswap\n' >"$ctl"

# ---------------------------------------------------------------------------------------
echo "== the watchdog"
# Longer than the loop's 20 s at most between heartbeats, so only a stopped daemon misses it.
mkdir -p /run/systemd/system/charged.service.d
printf '[Service]\nWatchdogSec=25\n' >/run/systemd/system/charged.service.d/watchdog.conf
systemctl daemon-reload
systemctl restart charged
journal_wait "$(mark)" 30 '^---- Current State ----$' || true
check "the control file written by the group member is reset by the daemon's start" \
    test "$(cat "$run_dir/set_external_batt_primary")" = 0
pid=$(main_pid)
echo "WatchdogUSec=$(prop WatchdogUSec), stopping process $pid"
cursor=$(mark)
stopped=$(date +%s)
kill -STOP "$pid"
restarted() { local p; p=$(systemctl show -p MainPID --value charged); [ "$p" != 0 ] && [ "$p" != "$1" ]; }
deadline=$((stopped + 60))
until restarted "$pid" || [ "$(date +%s)" -ge "$deadline" ]; do
    journal_wait "$cursor" 10 '^Starting ' || true
done
check "systemd ends the stopped daemon and starts it again ($(( $(date +%s) - stopped )) s; new process $(main_pid))" \
    restarted "$pid"
journalctl -u charged --after-cursor="$cursor" --no-pager -o short-monotonic | grep -vE ' (Searching|Opened) ' | awk 'NR <= 12'
check "the journal says Watchdog timeout" \
    bash -c "journalctl -u charged --after-cursor='$cursor' --no-pager | grep -q 'Watchdog timeout'"
check "it was killed with SIGABRT (WatchdogSignal=)" \
    bash -c "journalctl -u charged --after-cursor='$cursor' --no-pager | grep -qE 'status=6/ABRT|signal=ABRT'"
rm -r /run/systemd/system/charged.service.d
systemctl daemon-reload

echo "== stop: the shutdown sequence"
systemctl restart charged
journal_wait "$(mark)" 30 '^---- Current State ----$' || true
echo clear >"$ctl"
systemctl stop charged
cat "$log" | tee /tmp/shutdown-log.txt
check "systemctl stop ends the daemon (inactive)" \
    bash -c '[ "$(systemctl show -p ActiveState --value charged)" = inactive ]'
check "the shutdown sequence sets the charger's safe voltage (8900000)" \
    grep -qE '/pm8550b-charger/constant_charge_voltage 8900000$' /tmp/shutdown-log.txt
check "the shutdown sequence leaves QPH2 (qph2_allow 0, termination_enable 1, aicl_enable 1)" bash -c "
    grep -qE '/pm8550b-charger/qph2_allow 0\$' /tmp/shutdown-log.txt &&
    grep -qE '/pm8550b-charger/termination_enable 1\$' /tmp/shutdown-log.txt &&
    grep -qE '/pm8550b-charger/aicl_enable 1\$' /tmp/shutdown-log.txt"
check "the shutdown sequence restores the limiter (in0_lcrit 2600, in0_min 2800, in0_enable 1)" bash -c "
    grep -qE '/in0_lcrit 2600\$' /tmp/shutdown-log.txt && grep -qE '/in0_min 2800\$' /tmp/shutdown-log.txt &&
    grep -qE '/in0_enable 1\$' /tmp/shutdown-log.txt"
check "the journal has the stop" bash -c "journalctl -u charged -n 30 --no-pager -o cat | grep -q 'Received SIGTERM'"

# ---------------------------------------------------------------------------------------
echo "== the package: upgrade, remove, purge"
systemctl start charged
journal_wait "$(mark)" 30 '^---- Current State ----$' || true
old_version=$(dpkg-query -W -f='${Version}' charged)
new_version=$(dpkg-deb -f /root/charged-upgrade.deb Version)
pid=$(main_pid)
echo "upgrade $old_version -> $new_version (process $pid)"
check "the upgrade installs" dpkg -i /root/charged-upgrade.deb
check "the package is at $new_version" test "$(dpkg-query -W -f='${Version}' charged)" = "$new_version"
check "the upgrade restarted the service (process $pid -> $(main_pid), $(prop ActiveState))" \
    bash -c "[ \"\$(systemctl show -p MainPID --value charged)\" != $pid ] &&
             [ \"\$(systemctl show -p ActiveState --value charged)\" = active ]"
check "the unit is still enabled" bash -c '[ "$(systemctl is-enabled charged)" = enabled ]'
check "removal" dpkg -r charged
check "removal stopped the service" bash -c '[ "$(systemctl show -p ActiveState --value charged)" != active ] && ! pgrep -x charged'
check "removal took the program, the unit, the sysusers file and the udev rules" bash -c '
    for f in /usr/sbin/charged /lib/systemd/system/charged.service /usr/lib/sysusers.d/charged.conf \
        /usr/lib/udev/rules.d/60-charged.rules; do [ ! -e "$f" ] || exit 1; done'
check "after removal the unit is masked until purge ($(systemctl is-enabled charged 2>&1))" \
    bash -c '[ "$(readlink /etc/systemd/system/charged.service)" = /dev/null ]'
check "after removal the user charged and /run/charged stay" bash -c 'getent passwd charged && test -d /run/charged'
check "purge" dpkg -P charged
check "purge forgets the package" bash -c '! dpkg-query -W charged 2>/dev/null | grep -q .'
check "purge drops the mask and the enablement" bash -c '
    [ ! -e /etc/systemd/system/charged.service ] &&
    [ ! -e /etc/systemd/system/multi-user.target.wants/charged.service ] &&
    ! ls /var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep -q charged'
check "purge removes /run/charged" test ! -e /run/charged
check "purge keeps the user and group charged (Debian leaves system users)" \
    bash -c 'getent passwd charged && getent group charged'
check "installing again starts the service" bash -c '
    dpkg -i /root/charged.deb >/dev/null &&
    [ "$(systemctl is-enabled charged)" = enabled ] &&
    [ "$(systemctl show -p ActiveState --value charged)" = active ]'
systemctl stop charged

# ---------------------------------------------------------------------------------------
echo "== the module's probe (the daemon stopped, the module loaded afresh)"
rmmod vheadset
/usr/local/sbin/vheadset-probe 2>&1 | tee /tmp/probe.txt
probe_result=$(sed -n 's/^RESULT: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' /tmp/probe.txt)
if [ -n "$probe_result" ]; then
    passed=$((passed + ${probe_result% *}))
    failed=$((failed + ${probe_result#* }))
    grep -q ABORTED /tmp/probe.txt && fail "the probe ran to its end"
else
    fail "the probe printed its result"
fi

# ---------------------------------------------------------------------------------------
# THE STORIES: the story tests drive the module's devices (the kernel backend) through the
# charging stories with the installed daemon. Contract: the module is loaded, charged.service
# is stopped, the test binary and its list of tests (one gtest pattern a line, "#" comments)
# were copied in by the host.
echo "== the stories on the kernel backend"
tests=/usr/local/share/vheadset/kernel-tests.txt
if [ -x /usr/local/bin/scenario_tests ] && [ -s "$tests" ]; then
    systemctl stop charged
    filter=$(grep -v -e '^#' -e '^[[:space:]]*$' "$tests" | paste -sd:)
    started=$(date +%s)
    if VH_BACKEND=kernel VH_DAEMON=/usr/sbin/charged /usr/local/bin/scenario_tests \
        --gtest_filter="$filter"; then
        pass "the stories on the kernel backend ($(( $(date +%s) - started )) s)"
    else
        fail "the stories on the kernel backend ($(( $(date +%s) - started )) s)"
    fi
else
    echo "SKIP: no /usr/local/bin/scenario_tests with $tests"
fi

finished=1
echo "RESULT: $passed passed, $failed failed"
