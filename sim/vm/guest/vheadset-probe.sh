#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The module's probe, run in the guest by vm-checks with the daemon stopped: loads the module
# and checks the headset's devices on the real kernel. Every check prints "PASS: ..." or
# "FAIL: ...", measurements are printed as they are; the last line is
# "RESULT: n passed, m failed", which vm-checks adds to its own count.
set -euo pipefail

passed=0
failed=0
finished=0
trap '[ $finished = 1 ] || echo "RESULT: $passed passed, $failed failed, ABORTED at line $LINENO"' EXIT
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

ctl=/sys/kernel/debug/vheadset/control
log=/sys/kernel/debug/vheadset/log
drv=/sys/bus/platform/drivers/vheadset
ps=/sys/class/power_supply
charger=$ps/pm8550b-charger
tcpm=$ps/tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00
hotswap=$ps/pellgrave-hotswap
mp2652=$ps/mp2652-charger
limiter=c400000.spmi:pmic@1:sensor@4700
bcl_platform=/sys/bus/platform/devices/$limiter

echo "== kernel $(uname -r), systemd $(systemctl --version | head -n1 | cut -d' ' -f2)"
echo "== loading the module"
start=$(date +%s%N)
if ! modprobe vheadset; then
    fail "modprobe vheadset"
    dmesg | tail -n 60
    exit 1
fi
pass "modprobe vheadset (industrialio comes with it)"
echo "modprobe took $(( ($(date +%s%N) - start) / 1000000 )) ms"
udevadm settle --timeout=30 || fail "udev settles within 30 s"
check "industrialio is loaded" grep -q '^industrialio ' /proc/modules
dmesg | grep -i vheadset || true

# by_name CLASS_DIR NAME: the class device of that name, as the daemon's udev lookup finds it.
source /usr/local/lib/vheadset/guest-lib.sh
mode_is() { [ "$(stat -L -c %a "$1")" = "$2" ]; }

echo "== the daemon's paths and their modes"
attrs_with_modes() { # attrs_with_modes DIR attr:mode...
    local dir=$1 a
    shift
    for a in "$@"; do
        if [ ! -e "$dir/${a%%:*}" ]; then
            fail "$dir/${a%%:*} exists"
        elif mode_is "$dir/${a%%:*}" "${a##*:}"; then
            pass "$dir/${a%%:*} mode ${a##*:}"
        else
            fail "$dir/${a%%:*} mode ${a##*:} (is $(stat -L -c %a "$dir/${a%%:*}"))"
        fi
    done
}
attrs_with_modes "$charger" online:444 status:444 constant_charge_voltage:644 \
    constant_charge_current:644 termination_enable:644 charging_pause:644 charging_enable:644 \
    aicl_enable:644 aicl_rerun:644 qph2_allow:644 qph2_resume:644 qph2:444 aicl_status:444 uevent:644
attrs_with_modes "$tcpm" online:444 voltage_now:444 current_now:444 usb_type:444 uevent:644
for gauge in max1720x_bat_3-36 max1720x_bat_7-76; do
    attrs_with_modes "$ps/$gauge" capacity:444 voltage_avg:444 current_avg:444 \
        time_to_empty_avg:444 time_to_full_avg:444
done
hotswap_watched=(realtime_pack_connected internal_voltage_ok removable_voltage_ok
                 realtime_cross_chg_vint_from_vrem realtime_cross_chg_vrem_from_vint
                 internal_active removable_active interrupt_vint_not_valid
                 realtime_hw_batt_control realtime_use_int_batt interrupt_charger_fault
                 interrupt_pack_installed interrupt_pack_removed)
attrs_with_modes "$hotswap" status:444 "${hotswap_watched[@]/%/:444}" interrupt_clear:200 \
    enable_cross_charger:644 charge_from_int:644 use_internal_battery:644 uevent:644
attrs_with_modes "$mp2652" status:644 charge_type:444 health:444 constant_charge_voltage:644 \
    constant_charge_voltage_max:444 constant_charge_current:644 constant_charge_current_max:444 \
    input_current_limit:644 input_voltage_limit:644 precharge_current:644 \
    charge_term_current:644 uevent:644
adc=$(by_name /sys/bus/iio/devices c400000.spmi:pmic@0:vadc@9000) &&
    pass "IIO device named c400000.spmi:pmic@0:vadc@9000: $adc" || fail "IIO device by name"
# The IIO core makes every channel file 0644; a driver without write_raw refuses writes.
attrs_with_modes "${adc:-/nonexistent}" in_voltage_pm8550b_vbat_sns_chgr_input:644 \
    in_voltage_pm8550b_usb_sns_v_div_16_input:644 in_current_pm8550b_ichg_fb_input:644 \
    in_current_pm8550b_iin_fb_input:644
if { printf 1 >"${adc:-/x}/in_current_pm8550b_iin_fb_input"; } 2>/tmp/iio_write; then
    fail "the ADC refuses a write"
else
    pass "the ADC refuses a write: $(cat /tmp/iio_write)"
fi
hwmon=$(by_name /sys/class/hwmon "$limiter") &&
    pass "hwmon device named $limiter: $hwmon" || fail "hwmon device by name"
attrs_with_modes "${hwmon:-/nonexistent}" in0_enable:644 in0_min:644 in0_lcrit:644
attrs_with_modes "$bcl_platform" bcl_enable:644
attrs_with_modes /sys/kernel/debug/dri/0 bcl_throttle_accum:444
declare -A regulator
for r in backlight_left backlight_right tps61377; do
    regulator[$r]=$(by_name /sys/class/regulator "$r") &&
        pass "regulator named $r: ${regulator[$r]}" || fail "regulator named $r"
    attrs_with_modes "${regulator[$r]:-/nonexistent}" state:444
done
led=/sys/class/leds/mp3317-scene-illum-ir
attrs_with_modes "$led" led_state:444
echo "-- values"
for f in "$charger"/{online,status,constant_charge_voltage,qph2} "$tcpm/usb_type" \
         "$ps/max1720x_bat_3-36/capacity" "$hotswap/realtime_pack_connected" "$mp2652/status" \
         "${adc:-/x}/in_voltage_pm8550b_vbat_sns_chgr_input" "${hwmon:-/x}/in0_min" \
         "$bcl_platform/bcl_enable" /sys/kernel/debug/dri/0/bcl_throttle_accum \
         "${regulator[backlight_left]:-/x}/state" "$led/led_state"; do
    echo "$f = $(cat "$f" 2>&1)"
done
echo "-- the charger's uevent file"
cat "$charger/uevent"
check "the charger's uevent file has OF_NAME=charger" grep -qx OF_NAME=charger "$charger/uevent"
check "the sensor's uevent file has OF_NAME=sensor" grep -qx OF_NAME=sensor "$bcl_platform/uevent"
echo "-- every hwmon, regulator and power supply of the guest"
for d in /sys/class/hwmon/* /sys/class/regulator/* /sys/class/power_supply/*; do
    echo "$d -> $(readlink "$d") name=$(cat "$d/name" 2>/dev/null || echo -)"
done

echo "== notifications"
echo "-- a freshly opened file (never notified since boot), then one that was notified"
vhprobe fresh "$charger/qph2"
echo "set pm8550b-charger aicl_status 0" >"$ctl"
vhprobe fresh "$charger/aicl_status" | tee /tmp/fresh
check "a file opened after a notification and not read polls PRI|ERR at once" \
    grep -q 'poll before the first read: 0xa PRI ERR' /tmp/fresh
notify_check() { # notify_check FILE COMMAND
    echo "-- $1 ($2)"
    vhprobe notify "$1" "$ctl" "$2" | tee /tmp/notify
    check "sysfs_notify wakes poll() on $1 with POLLPRI|POLLERR" \
        grep -q 'poll woken: 0xa PRI ERR' /tmp/notify
    check "epoll (EPOLLPRI|EPOLLERR) wakes on $1" grep -q 'epoll woken: 1, 0xa PRI ERR' /tmp/notify
}
notify_check "$charger/qph2" "set pm8550b-charger qph2 1"
notify_check "$charger/aicl_status" "set pm8550b-charger aicl_status 1"
notify_check "$hotswap/realtime_pack_connected" "set pellgrave-hotswap realtime_pack_connected 1"
notify_check "${regulator[backlight_left]:-/x}/state" "set backlight_left state enabled"
notify_check "$led/led_state" "set mp3317-scene-illum-ir led_state Enable"
notify_check "${hwmon:-/x}/in0_min" "set $limiter in0_min 3000"
notify_check "${adc:-/x}/in_voltage_pm8550b_vbat_sns_chgr_input" \
    "set c400000.spmi:pmic@0:vadc@9000 in_voltage_pm8550b_vbat_sns_chgr_input 7700000"
notify_check "$bcl_platform/bcl_enable" "set $limiter bcl_enable 1"

echo "== uevents"
udevadm monitor --udev --property --subsystem-match=power_supply >/tmp/udev.txt 2>&1 &
udev_monitor=$!
udevadm monitor --kernel --property --subsystem-match=power_supply >/tmp/kernel.txt 2>&1 &
kernel_monitor=$!
sleep 1
echo "set c400000.spmi:pmic@7:typec@2b00 online 1
store c400000.spmi:pmic@7:typec@2b00 usb_type C [PD] PD_PPS
store c400000.spmi:pmic@7:typec@2b00 voltage_now 9000000
change c400000.spmi:pmic@7:typec@2b00" >"$ctl"
echo change >"$charger/uevent"
echo change >"$hotswap/uevent"
sleep 2
kill "$udev_monitor" "$kernel_monitor"
wait "$udev_monitor" "$kernel_monitor" 2>/dev/null || true
echo "-- udevadm monitor --udev"
cat /tmp/udev.txt
echo "-- udevadm monitor --kernel: the USB-C source's event as the kernel sent it"
awk 'BEGIN{RS=""} /^KERNEL\[/ && /typec@2b00 \(power_supply\)/' /tmp/kernel.txt
udev_event() { # udev_event SUPPLY_NAME: that supply's events as udevd sent them
    awk -v name="POWER_SUPPLY_NAME=$1" 'BEGIN{RS=""} $0 ~ name' /tmp/udev.txt
}
check "a change from power_supply_changed() reaches udevd's monitor" \
    bash -c "$(declare -f udev_event); udev_event tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00 | grep -q '^ACTION=change'"
check "it carries OF_NAME=typec" bash -c "$(declare -f udev_event); udev_event tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00 | grep -qx OF_NAME=typec"
check "it carries POWER_SUPPLY_ONLINE=1 and POWER_SUPPLY_USB_TYPE=C [PD] PD_PPS" \
    bash -c "$(declare -f udev_event); e=\$(udev_event tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00); grep -qx POWER_SUPPLY_ONLINE=1 <<<\"\$e\" && grep -qx 'POWER_SUPPLY_USB_TYPE=C \[PD\] PD_PPS' <<<\"\$e\" && grep -qx POWER_SUPPLY_VOLTAGE_NOW=9000000 <<<\"\$e\""
check "\"change\" written into the charger's uevent reaches udevd's monitor with OF_NAME=charger and POWER_SUPPLY_*" \
    bash -c "$(declare -f udev_event); e=\$(udev_event pm8550b-charger); grep -qx OF_NAME=charger <<<\"\$e\" && grep -qx POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE=8900000 <<<\"\$e\" && grep -qx POWER_SUPPLY_STATUS=Discharging <<<\"\$e\""
check "the hot-swap controller's change carries POWER_SUPPLY_PRESENT (the pack)" \
    bash -c "$(declare -f udev_event); udev_event pellgrave-hotswap | grep -qx POWER_SUPPLY_PRESENT=1"

echo "== the write log"
echo clear >"$ctl"
printf 1 >"$charger/aicl_rerun"
printf 8800000 >"$charger/constant_charge_voltage"
printf 2700 >"${hwmon:-/x}/in0_min"
printf 1 >"$bcl_platform/bcl_enable"
printf Charging >"$mp2652/status"
printf '1\n' >"$hotswap/interrupt_clear"
if { printf 1 >"$charger/qph2"; } 2>/tmp/ro; then fail "a 0444 attribute refuses writes"; else
    pass "a 0444 attribute refuses writes, even for root: $(cat /tmp/ro)"; fi
cat "$log" | tee /tmp/log.txt
check "the log holds the six writes in order, with their paths" bash -c "
    [ \$(wc -l </tmp/log.txt) -eq 6 ] &&
    sed -n 1p /tmp/log.txt | grep -q '/power_supply/pm8550b-charger/aicl_rerun 1\$' &&
    sed -n 2p /tmp/log.txt | grep -q '/power_supply/pm8550b-charger/constant_charge_voltage 8800000\$' &&
    sed -n 3p /tmp/log.txt | grep -q '/hwmon/hwmon[0-9]*/in0_min 2700\$' &&
    sed -n 4p /tmp/log.txt | grep -q '/c400000.spmi:pmic@1:sensor@4700/bcl_enable 1\$' &&
    sed -n 5p /tmp/log.txt | grep -q '/power_supply/mp2652-charger/status Charging\$' &&
    sed -n 6p /tmp/log.txt | grep -q '/power_supply/pellgrave-hotswap/interrupt_clear 1\\\\n\$'"
check "a written value is what the file reads back" \
    bash -c "[ \"\$(cat $charger/constant_charge_voltage)\" = 8800000 ] && [ \"\$(cat ${hwmon:-/x}/in0_min)\" = 2700 ]"

echo "== unbind and bind"
unbind_check() { # unbind_check FILE DEVICE [CLASS_DIR NAME]: the file is found again by name
    echo "-- $2: $1"
    vhprobe unbind "$1" "$drv" "$2" | tee /tmp/unbind || true
    check "unbinding $2 removes $1" grep -q 'path after unbind: ENOENT' /tmp/unbind
    local before after again
    before=$(sed -n 's/^value before: //p' /tmp/unbind)
    after=$(sed -n 's/^read on a new descriptor after bind: //p' /tmp/unbind)
    if [ $# -eq 4 ] && ! grep -q 'path after bind: exists' /tmp/unbind; then
        again=$(by_name "$3" "$4")/$(basename "$1")
        echo "the device came back under a new number: $again"
        after="\"$(cat "$again")\""
    fi
    check "binding $2 again restores $(basename "$1") with its value ($before, $after)" \
        test -n "$before" -a "$before" = "$after"
}
unbind_check "$charger/qph2" c400000.spmi:pmic@7:charger@1000
unbind_check "${regulator[tps61377]:-/x}/state" 2-0074 /sys/class/regulator tps61377
unbind_check "$bcl_platform/bcl_enable" "$limiter"
check "the debugfs counter is back after the limiter's bind" test -e /sys/kernel/debug/dri/0/bcl_throttle_accum
hwmon=$(by_name /sys/class/hwmon "$limiter") && pass "the limiter's hwmon device is back: $hwmon" ||
    fail "the limiter's hwmon device is back"
adc=$(by_name /sys/bus/iio/devices c400000.spmi:pmic@0:vadc@9000)
unbind_check "$adc/in_current_pm8550b_iin_fb_input" c400000.spmi:pmic@0:vadc@9000 \
    /sys/bus/iio/devices c400000.spmi:pmic@0:vadc@9000
unbind_check "$led/led_state" 4-0063
echo "-- uevents of an unbind and bind of the pack's gauge"
udevadm monitor --kernel --udev --property --subsystem-match=power_supply >/tmp/udev2.txt 2>&1 &
udev_monitor=$!
sleep 1
echo 7-0076 >"$drv/unbind"
sleep 1
echo 7-0076 >"$drv/bind"
sleep 3
kill "$udev_monitor"
wait "$udev_monitor" 2>/dev/null || true
cat /tmp/udev2.txt
udev2() { awk -v action="$1" 'BEGIN{RS=""} /^UDEV/ && $0 ~ "ACTION=" action' /tmp/udev2.txt; }
check "unbinding the gauge sends remove through udevd" bash -c "$(declare -f udev2); udev2 remove | grep -q max1720x_bat_7-76"
check "after the bind udevd sends a change with the gauge's properties" \
    bash -c "$(declare -f udev2); udev2 change | grep -qx POWER_SUPPLY_CAPACITY=80"
if grep -q '^KERNEL.*add ' /tmp/udev2.txt; then
    echo "measured: the kernel sent an add event for the bound power supply"
else
    echo "measured: the kernel sent no add event for the bound power supply"
fi

echo "== unload and load again"
check "rmmod vheadset" rmmod vheadset
check "no device is left" bash -c "[ ! -e $charger ] && [ ! -e /sys/kernel/debug/vheadset ] && [ ! -e /sys/kernel/debug/dri/0 ]"
check "modprobe vheadset again" modprobe vheadset
check "the charger is back" test -e "$charger/qph2"

echo "== kernel messages"
dmesg | grep -iE 'vheadset|taint|WARNING|BUG|Call Trace|hwmon|regulator' || true
check "no kernel warning or oops" bash -c "! dmesg | grep -qE 'WARNING:|BUG:|Call Trace'"

finished=1
echo "RESULT: $passed passed, $failed failed"
