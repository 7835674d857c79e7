// SPDX-License-Identifier: GPL-2.0-only
/*
 * The headset's charge-related devices on a real kernel, without their hardware.
 *
 * Registers, as platform devices bound to the platform driver "vheadset", every device the
 * charge daemon talks to, with the names, classes, attributes and modes of the device's own
 * drivers: the PMIC charger and the USB-C source supply, two fuel gauges, the headstrap's
 * hot-swap controller and cross-charger (power supplies), the PMIC ADC (IIO), the battery
 * current limiter (hwmon device, platform switch, debugfs counter), two backlight regulators
 * and a pre-boost regulator, and the room-tracking LED. The devices have no behaviour:
 * every value is a text that user space sets through the control interface, and every
 * write the daemon makes is stored and logged for that user space to act on.
 *
 * Control interface: debugfs, /sys/kernel/debug/vheadset/. It is a test interface only:
 * debugfs carries no ABI promise, is reachable by root only, and needs neither a device
 * number nor a udev rule for its node, unlike a misc character device. Two files:
 *
 *   control  (write) one command per line; a write may hold several lines, run in order:
 *     set DEVICE ATTRIBUTE VALUE    store VALUE (the rest of the line) and notify pollers
 *     store DEVICE ATTRIBUTE VALUE  store VALUE without a notification
 *     notify DEVICE ATTRIBUTE       notify pollers of the attribute
 *     change DEVICE                 a "change" uevent (power_supply_changed() for supplies)
 *     clear                         empty the write log
 *   DEVICE is the name the daemon looks for (the power supply, IIO, hwmon, regulator or
 *   LED name) or the platform device's name. A failing line ends the write with its error:
 *   ENOENT (no such device or attribute), ENODEV (the device is unbound), EINVAL.
 *
 *   log  (read) the writes made to the devices' attributes, in order, one per line:
 *     SEQUENCE PATH TEXT
 *   PATH is the attribute under /sys/devices, TEXT what was written, escaped into one
 *   line ("\\" a backslash, "\n" a newline, "\xHH" another control byte). Every open
 *   file reads each line once, from the oldest kept (the last 4096), and poll() reports
 *   POLLIN while there is more to read. A read at the end returns 0.
 *        (write) "SEQUENCE\n": the writes up to SEQUENCE were handled. The open file
 *   that writes it follows the log from then on, until it is closed: while a file
 *   follows, a write to a device returns only once it was handled (or after a second),
 *   as a driver's store does its work before it returns. The writer then sees the
 *   device's answer (a status, an event) the way it would on the hardware.
 *
 * Values survive an unbind: a bound device shows what it had before.
 */

#include <linux/ctype.h>
#include <linux/debugfs.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/hwmon.h>
#include <linux/iio/iio.h>
#include <linux/kobject.h>
#include <linux/leds.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/power_supply.h>
#include <linux/regulator/driver.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#define VH_DRIVER "vheadset"
#define VH_TEXT_MAX 96
#define VH_NO_PSP (-1)
#define VH_LOG_MAX 4096
#define VH_HANDLED_TIMEOUT HZ /* how long a write waits for its follower, at most */

enum vh_kind {
	VH_SUPPLY,
	VH_ADC,
	VH_LIMITER,
	VH_REGULATOR,
	VH_LED
};

/* Which file shows a value. */
enum vh_where {
	VH_ON_CLASS_DEV, /* the class device: supply, IIO, hwmon, regulator or LED */
	VH_ON_PLATFORM,	 /* the platform device itself */
	VH_ON_DEBUGFS,	 /* a debugfs file */
	VH_CORE_FILE,	 /* a file of the class core (regulator "state") */
};

struct vh_device;

struct vh_value {
	const char *name;
	umode_t mode;
	int psp;	   /* the power supply property it is, or VH_NO_PSP */
	const char *alias; /* a property that shows another value */
	enum vh_where where;
	char text[VH_TEXT_MAX];
	struct vh_device *vd;
	struct dev_ext_attribute ext;
};

struct vh_device {
	const char *pdev_name;
	const char *name; /* what the daemon looks for */
	enum vh_kind kind;
	const char *of_name;
	enum power_supply_type type;
	struct vh_value *values;
	size_t n_values;

	struct platform_device *pdev;
	/* Set while bound; vh_lock guards it. */
	struct device *class_dev;
	struct power_supply *psy;
	struct iio_dev *iio;
	struct regulator_dev *rdev;
	struct device *hwmon;
	struct led_classdev led;
	struct dentry *debugfs_file;

	struct power_supply_desc psy_desc;
	enum power_supply_property *props;
	struct device_type psy_type;
	struct regulator_desc reg_desc;
	struct attribute **attrs;
	struct attribute_group group;
	const struct attribute_group *groups[2];
};

static DEFINE_MUTEX(vh_lock);

/* The tables keep their hand-made layout. */
/* clang-format off */
#define V(n, m, t) { .name = n, .mode = m, .psp = VH_NO_PSP, .text = t }
#define P(n, m, p, t) { .name = n, .mode = m, .psp = POWER_SUPPLY_PROP_##p, .text = t }

static struct vh_value charger_values[] = {
	P("online", 0444, ONLINE, "0"),
	P("status", 0444, STATUS, "Discharging"),
	P("constant_charge_voltage", 0644, CONSTANT_CHARGE_VOLTAGE, "8900000"),
	P("constant_charge_current", 0644, CONSTANT_CHARGE_CURRENT, "1000000"),
	V("termination_enable", 0644, "1"),
	V("charging_pause", 0644, "0"),
	V("charging_enable", 0644, "1"),
	V("aicl_enable", 0644, "1"),
	V("aicl_rerun", 0644, "0"),
	V("qph2_allow", 0644, "0"),
	V("qph2_resume", 0644, "0"),
	V("qph2", 0444, "0"),
	V("aicl_status", 0444, "0"),
};

static struct vh_value tcpm_values[] = {
	P("online", 0444, ONLINE, "0"),
	P("voltage_now", 0444, VOLTAGE_NOW, "0"),
	P("current_now", 0444, CURRENT_NOW, "0"),
	P("usb_type", 0444, USB_TYPE, "C"),
};

#define GAUGE_VALUES(capacity, voltage, current, empty)                          \
	{                                                                        \
		P("capacity", 0444, CAPACITY, capacity),                         \
		P("voltage_avg", 0444, VOLTAGE_AVG, voltage),                    \
		P("current_avg", 0444, CURRENT_AVG, current),                    \
		P("time_to_empty_avg", 0444, TIME_TO_EMPTY_AVG, empty),          \
		P("time_to_full_avg", 0444, TIME_TO_FULL_AVG, "0"),              \
	}

static struct vh_value gauge_internal_values[] =
	GAUGE_VALUES("45", "7600000", "-400000", "14000");
static struct vh_value gauge_pack_values[] =
	GAUGE_VALUES("80", "7900000", "0", "30000");

static struct vh_value hotswap_values[] = {
	P("status", 0444, STATUS, "Discharging"),
	/* The uevent's POWER_SUPPLY_PRESENT is the pack's presence. */
	{ .name = "present", .mode = 0444, .psp = POWER_SUPPLY_PROP_PRESENT,
	  .alias = "realtime_pack_connected" },
	V("realtime_pack_connected", 0444, "0"),
	V("internal_voltage_ok", 0444, "1"),
	V("removable_voltage_ok", 0444, "0"),
	V("realtime_cross_chg_vint_from_vrem", 0444, "0"),
	V("realtime_cross_chg_vrem_from_vint", 0444, "0"),
	V("internal_active", 0444, "1"),
	V("removable_active", 0444, "0"),
	V("interrupt_vint_not_valid", 0444, "0"),
	V("realtime_hw_batt_control", 0444, "0"),
	V("realtime_use_int_batt", 0444, "1"),
	V("interrupt_charger_fault", 0444, "0"),
	V("interrupt_pack_installed", 0444, "0"),
	V("interrupt_pack_removed", 0444, "0"),
	V("interrupt_clear", 0200, "0"),
	V("enable_cross_charger", 0644, "0"),
	V("charge_from_int", 0644, "0"),
	V("use_internal_battery", 0644, "1"),
};

static struct vh_value mp2652_values[] = {
	P("status", 0644, STATUS, "Not charging"),
	P("charge_type", 0444, CHARGE_TYPE, "N/A"),
	P("health", 0444, HEALTH, "Good"),
	P("constant_charge_voltage", 0644, CONSTANT_CHARGE_VOLTAGE, "8400000"),
	P("constant_charge_voltage_max", 0444, CONSTANT_CHARGE_VOLTAGE_MAX, "8800000"),
	P("constant_charge_current", 0644, CONSTANT_CHARGE_CURRENT, "1000000"),
	P("constant_charge_current_max", 0444, CONSTANT_CHARGE_CURRENT_MAX, "3000000"),
	P("input_current_limit", 0644, INPUT_CURRENT_LIMIT, "2000000"),
	P("input_voltage_limit", 0644, INPUT_VOLTAGE_LIMIT, "4600000"),
	P("precharge_current", 0644, PRECHARGE_CURRENT, "180000"),
	P("charge_term_current", 0644, CHARGE_TERM_CURRENT, "200000"),
};

/* The order of the ADC's channels below. */
static struct vh_value adc_values[] = {
	V("in_voltage_pm8550b_vbat_sns_chgr_input", 0444, "7600000"),
	V("in_voltage_pm8550b_usb_sns_v_div_16_input", 0444, "0"),
	V("in_current_pm8550b_ichg_fb_input", 0444, "0"),
	V("in_current_pm8550b_iin_fb_input", 0444, "0"),
};

enum { VH_IN0_ENABLE, VH_IN0_MIN, VH_IN0_LCRIT };
static struct vh_value limiter_values[] = {
	[VH_IN0_ENABLE] = V("in0_enable", 0644, "1"),
	[VH_IN0_MIN] = V("in0_min", 0644, "2800"),
	[VH_IN0_LCRIT] = V("in0_lcrit", 0644, "2600"),
	{ .name = "bcl_enable", .mode = 0644, .psp = VH_NO_PSP, .where = VH_ON_PLATFORM,
	  .text = "0" },
	{ .name = "bcl_throttle_accum", .mode = 0444, .psp = VH_NO_PSP, .where = VH_ON_DEBUGFS,
	  .text = "0" },
};

#define REGULATOR_VALUES { { .name = "state", .mode = 0444, .psp = VH_NO_PSP, \
			     .where = VH_CORE_FILE, .text = "disabled" } }
static struct vh_value backlight_left_values[] = REGULATOR_VALUES;
static struct vh_value backlight_right_values[] = REGULATOR_VALUES;
static struct vh_value preboost_values[] = REGULATOR_VALUES;

static struct vh_value led_values[] = {
	V("led_state", 0444, "Disable"),
};

#define DEV(pdev_, name_, kind_, of_, type_, values_)                             \
	{ .pdev_name = pdev_, .name = name_, .kind = kind_, .of_name = of_,          \
	  .type = type_, .values = values_, .n_values = ARRAY_SIZE(values_) }

static struct vh_device vh_devices[] = {
	DEV("c400000.spmi:pmic@7:charger@1000", "pm8550b-charger", VH_SUPPLY, "charger",
	    POWER_SUPPLY_TYPE_USB, charger_values),
	DEV("c400000.spmi:pmic@7:typec@2b00", "tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00",
	    VH_SUPPLY, "typec", POWER_SUPPLY_TYPE_USB, tcpm_values),
	DEV("3-0036", "max1720x_bat_3-36", VH_SUPPLY, NULL, POWER_SUPPLY_TYPE_BATTERY,
	    gauge_internal_values),
	DEV("7-0076", "max1720x_bat_7-76", VH_SUPPLY, NULL, POWER_SUPPLY_TYPE_BATTERY,
	    gauge_pack_values),
	DEV("5-0040", "pellgrave-hotswap", VH_SUPPLY, NULL, POWER_SUPPLY_TYPE_BATTERY,
	    hotswap_values),
	DEV("7-005c", "mp2652-charger", VH_SUPPLY, NULL, POWER_SUPPLY_TYPE_BATTERY,
	    mp2652_values),
	DEV("c400000.spmi:pmic@0:vadc@9000", "c400000.spmi:pmic@0:vadc@9000", VH_ADC, "vadc",
	    0, adc_values),
	DEV("c400000.spmi:pmic@1:sensor@4700", "c400000.spmi:pmic@1:sensor@4700", VH_LIMITER,
	    "sensor", 0, limiter_values),
	DEV("backlight-left-vreg", "backlight_left", VH_REGULATOR, NULL, 0,
	    backlight_left_values),
	DEV("backlight-right-vreg", "backlight_right", VH_REGULATOR, NULL, 0,
	    backlight_right_values),
	DEV("2-0074", "tps61377", VH_REGULATOR, NULL, 0, preboost_values),
	DEV("4-0063", "mp3317-scene-illum-ir", VH_LED, NULL, 0, led_values),
};
/* clang-format on */

/* ---- values ---- */

static struct vh_value *vh_find_value(struct vh_device *vd, const char *name)
{
	size_t i;

	for (i = 0; i < vd->n_values; i++)
		if (!strcmp(vd->values[i].name, name))
			return &vd->values[i];
	return NULL;
}

static struct vh_device *vh_find_device(const char *name)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(vh_devices); i++)
		if (!strcmp(vh_devices[i].name, name) || !strcmp(vh_devices[i].pdev_name, name))
			return &vh_devices[i];
	return NULL;
}

/* Stores text without its trailing white space; vh_lock held. */
static void vh_store_text(struct vh_value *v, const char *text, size_t len)
{
	while (len && isspace(text[len - 1]))
		len--;
	len = min_t(size_t, len, VH_TEXT_MAX - 1);
	memcpy(v->text, text, len);
	v->text[len] = '\0';
}

/* The kobject whose attribute file shows the value, or NULL; vh_lock held. */
static struct kobject *vh_value_kobj(struct vh_value *v)
{
	switch (v->where) {
	case VH_ON_CLASS_DEV:
	case VH_CORE_FILE:
		return v->vd->class_dev ? &v->vd->class_dev->kobj : NULL;
	case VH_ON_PLATFORM:
		return v->vd->class_dev ? &v->vd->pdev->dev.kobj : NULL;
	case VH_ON_DEBUGFS:
		break;
	}
	return NULL;
}

/* ---- the write log ---- */

struct vh_log_entry {
	struct list_head node;
	u64 seq;
	size_t len;
	char line[];
};

static LIST_HEAD(vh_log);
static size_t vh_log_count;
static u64 vh_log_next_seq = 1;
static DEFINE_MUTEX(vh_log_lock);
static DECLARE_WAIT_QUEUE_HEAD(vh_log_wait);
/* The newest write the followers handled, and how many open log files acknowledge. */
static u64 vh_log_handled;
static unsigned int vh_log_followers;
static DECLARE_WAIT_QUEUE_HEAD(vh_handled_wait);

/* text as one line: "\\" for a backslash, "\n" for a newline, "\xHH" for other bytes. */
static char *vh_escape(const char *text, size_t len)
{
	char *out = kmalloc(4 * len + 1, GFP_KERNEL), *p = out;
	size_t i;

	if (!out)
		return NULL;
	for (i = 0; i < len; i++) {
		unsigned char c = text[i];

		if (c == '\\')
			p += sprintf(p, "\\\\");
		else if (c == '\n')
			p += sprintf(p, "\\n");
		else if (c < 0x20 || c >= 0x7f)
			p += sprintf(p, "\\x%02x", c);
		else
			*p++ = c;
	}
	*p = '\0';
	return out;
}

/* Read without the lock: it is the condition of a wait, and one word each. */
static bool vh_log_was_handled(u64 seq)
{
	return !READ_ONCE(vh_log_followers) || READ_ONCE(vh_log_handled) >= seq;
}

/*
 * Logs a write of text into the attribute name of kobj; while the log is followed, returns
 * once the follower handled it. A signal or the timeout ends the wait early: the write was
 * stored all the same.
 */
static void vh_log_write(struct kobject *kobj, const char *name, const char *text, size_t len)
{
	struct vh_log_entry *e, *oldest;
	char *path = kobject_get_path(kobj, GFP_KERNEL);
	char *escaped = vh_escape(text, len);
	u64 seq;

	if (!path || !escaped)
		goto out_free;
	e = kmalloc(sizeof(*e) + strlen(path) + strlen(name) + strlen(escaped) + 48, GFP_KERNEL);
	if (!e)
		goto out_free;
	mutex_lock(&vh_log_lock);
	seq = vh_log_next_seq++;
	e->seq = seq;
	e->len = sprintf(e->line, "%llu /sys%s/%s %s\n", e->seq, path, name, escaped);
	list_add_tail(&e->node, &vh_log);
	if (++vh_log_count > VH_LOG_MAX) {
		oldest = list_first_entry(&vh_log, struct vh_log_entry, node);
		list_del(&oldest->node);
		kfree(oldest);
		vh_log_count--;
	}
	mutex_unlock(&vh_log_lock);
	wake_up_interruptible(&vh_log_wait);
	wait_event_interruptible_timeout(vh_handled_wait, vh_log_was_handled(seq),
					 VH_HANDLED_TIMEOUT);
out_free:
	kfree(escaped);
	kfree(path);
}

static void vh_log_clear(void)
{
	struct vh_log_entry *e, *next;

	mutex_lock(&vh_log_lock);
	list_for_each_entry_safe(e, next, &vh_log, node) {
		list_del(&e->node);
		kfree(e);
	}
	vh_log_count = 0;
	mutex_unlock(&vh_log_lock);
}

/* ---- attribute files of the driver ---- */

static ssize_t vh_attr_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct vh_value *v = container_of(attr, struct vh_value, ext.attr);
	ssize_t len;

	mutex_lock(&vh_lock);
	len = sysfs_emit(buf, "%s\n", v->text);
	mutex_unlock(&vh_lock);
	return len;
}

static ssize_t vh_attr_store(struct device *dev, struct device_attribute *attr, const char *buf,
			     size_t count)
{
	struct vh_value *v = container_of(attr, struct vh_value, ext.attr);

	mutex_lock(&vh_lock);
	vh_store_text(v, buf, count);
	mutex_unlock(&vh_lock);
	vh_log_write(&dev->kobj, v->name, buf, count);
	return count;
}

/* The group of the driver's own attribute files that lie in where. */
static int vh_build_group(struct vh_device *vd, enum vh_where where)
{
	size_t i, n = 0;

	vd->attrs = kcalloc(vd->n_values + 1, sizeof(*vd->attrs), GFP_KERNEL);
	if (!vd->attrs)
		return -ENOMEM;
	for (i = 0; i < vd->n_values; i++) {
		struct vh_value *v = &vd->values[i];
		struct device_attribute *da = &v->ext.attr;

		if (v->psp != VH_NO_PSP || v->where != where)
			continue;
		sysfs_attr_init(&da->attr);
		da->attr.name = v->name;
		da->attr.mode = v->mode;
		da->show = (v->mode & 0444) ? vh_attr_show : NULL;
		da->store = (v->mode & 0222) ? vh_attr_store : NULL;
		vd->attrs[n++] = &da->attr;
	}
	vd->group.attrs = vd->attrs;
	vd->groups[0] = &vd->group;
	vd->groups[1] = NULL;
	return 0;
}

/* ---- power supplies ---- */

static const char *const vh_status_texts[] = {
	"Unknown", "Charging", "Discharging", "Not charging", "Full",
};
static const char *const vh_charge_type_texts[] = {
	"Unknown",  "N/A",    "Trickle",   "Fast",   "Standard",
	"Adaptive", "Custom", "Long Life", "Bypass",
};
static const char *const vh_health_texts[] = {
	"Unknown",
	"Good",
	"Overheat",
	"Dead",
	"Over voltage",
	"Unspecified failure",
	"Cold",
	"Watchdog timer expire",
	"Safety timer expire",
	"Over current",
	"Calibration required",
	"Warm",
	"Cool",
	"Hot",
	"No battery",
};
static const char *const vh_usb_type_texts[] = {
	"Unknown", "SDP", "DCP", "CDP", "ACA", "C", "PD", "PD_DRP", "PD_PPS", "BrickID",
};
static const enum power_supply_usb_type vh_usb_types[] = {
	POWER_SUPPLY_USB_TYPE_C,
	POWER_SUPPLY_USB_TYPE_PD,
	POWER_SUPPLY_USB_TYPE_PD_PPS,
};

/* The texts of an enumerated property, or NULL for a number. */
static const char *const *vh_enum_texts(int psp, size_t *n)
{
	switch (psp) {
	case POWER_SUPPLY_PROP_STATUS:
		*n = ARRAY_SIZE(vh_status_texts);
		return vh_status_texts;
	case POWER_SUPPLY_PROP_CHARGE_TYPE:
		*n = ARRAY_SIZE(vh_charge_type_texts);
		return vh_charge_type_texts;
	case POWER_SUPPLY_PROP_HEALTH:
		*n = ARRAY_SIZE(vh_health_texts);
		return vh_health_texts;
	case POWER_SUPPLY_PROP_USB_TYPE:
		*n = ARRAY_SIZE(vh_usb_type_texts);
		return vh_usb_type_texts;
	}
	return NULL;
}

static struct vh_value *vh_find_psp(struct vh_device *vd, int psp)
{
	size_t i;

	for (i = 0; i < vd->n_values; i++)
		if (vd->values[i].psp == psp)
			return &vd->values[i];
	return NULL;
}

static int vh_get_property(struct power_supply *psy, enum power_supply_property psp,
			   union power_supply_propval *val)
{
	struct vh_device *vd = power_supply_get_drvdata(psy);
	const char *const *texts;
	struct vh_value *v;
	const char *text;
	size_t n, i;
	int number = 0;

	mutex_lock(&vh_lock);
	v = vh_find_psp(vd, psp);
	if (!v) {
		mutex_unlock(&vh_lock);
		return -EINVAL;
	}
	if (v->alias)
		v = vh_find_value(vd, v->alias);
	text = v->text;
	texts = vh_enum_texts(psp, &n);
	if (texts) {
		/* "C [PD] PD_PPS": the active type is the one in brackets. */
		const char *open = strchr(text, '['), *close = strchr(text, ']');
		size_t len = strlen(text);

		if (open && close && close > open) {
			text = open + 1;
			len = close - text;
		}
		for (i = 0; i < n; i++)
			if (strlen(texts[i]) == len && !strncmp(texts[i], text, len))
				number = i;
	} else if (kstrtoint(text, 0, &number)) {
		number = 0;
	}
	mutex_unlock(&vh_lock);
	val->intval = number;
	return 0;
}

static int vh_set_property(struct power_supply *psy, enum power_supply_property psp,
			   const union power_supply_propval *val)
{
	struct vh_device *vd = power_supply_get_drvdata(psy);
	const char *const *texts;
	char text[VH_TEXT_MAX];
	struct vh_value *v;
	size_t n;

	texts = vh_enum_texts(psp, &n);
	if (texts) {
		if (val->intval < 0 || val->intval >= n)
			return -EINVAL;
		strscpy(text, texts[val->intval], sizeof(text));
	} else {
		snprintf(text, sizeof(text), "%d", val->intval);
	}
	mutex_lock(&vh_lock);
	v = vh_find_psp(vd, psp);
	if (!v || !(v->mode & 0222)) {
		mutex_unlock(&vh_lock);
		return -EPERM;
	}
	vh_store_text(v, text, strlen(text));
	mutex_unlock(&vh_lock);
	/* The power supply core hands over the parsed value, not the written text. */
	vh_log_write(&psy->dev.kobj, v->name, text, strlen(text));
	return 0;
}

static int vh_property_is_writeable(struct power_supply *psy, enum power_supply_property psp)
{
	struct vh_device *vd = power_supply_get_drvdata(psy);
	struct vh_value *v = vh_find_psp(vd, psp); /* the table is fixed: no lock */

	return v && (v->mode & 0222);
}

/*
 * OF_NAME: on the device it comes from the device tree, added to every uevent by the
 * driver core's of_device_uevent(). Debian's amd64 kernel is built without CONFIG_OF, so
 * that call is an empty stub and no device can carry a device-tree node. The supply's
 * device type gets a uevent callback that adds the same variable instead: every uevent
 * after registration carries it (power_supply_changed(), "change" written into the uevent
 * file, the uevent file's text), but the "add" event sent inside power_supply_register()
 * cannot.
 */
static int vh_of_name_uevent(struct device *dev, struct kobj_uevent_env *env)
{
	struct power_supply *psy = dev_get_drvdata(dev);
	struct vh_device *vd = power_supply_get_drvdata(psy);

	return add_uevent_var(env, "OF_NAME=%s", vd->of_name);
}

static int vh_init_supply(struct vh_device *vd)
{
	size_t i, n = 0;

	vd->props = kcalloc(vd->n_values, sizeof(*vd->props), GFP_KERNEL);
	if (!vd->props)
		return -ENOMEM;
	for (i = 0; i < vd->n_values; i++)
		if (vd->values[i].psp != VH_NO_PSP)
			vd->props[n++] = vd->values[i].psp;
	vd->psy_desc.name = vd->name;
	vd->psy_desc.type = vd->type;
	vd->psy_desc.properties = vd->props;
	vd->psy_desc.num_properties = n;
	vd->psy_desc.get_property = vh_get_property;
	vd->psy_desc.set_property = vh_set_property;
	vd->psy_desc.property_is_writeable = vh_property_is_writeable;
	vd->psy_desc.no_thermal = true;
	if (vh_find_psp(vd, POWER_SUPPLY_PROP_USB_TYPE)) {
		vd->psy_desc.usb_types = vh_usb_types;
		vd->psy_desc.num_usb_types = ARRAY_SIZE(vh_usb_types);
	}
	return vh_build_group(vd, VH_ON_CLASS_DEV);
}

static int vh_probe_supply(struct vh_device *vd)
{
	struct power_supply_config cfg = {
		.drv_data = vd,
		.attr_grp = vd->groups,
	};
	struct power_supply *psy;

	psy = power_supply_register(&vd->pdev->dev, &vd->psy_desc, &cfg);
	if (IS_ERR(psy))
		return PTR_ERR(psy);
	if (vd->of_name) {
		/* The same type (name, attribute groups) with the uevent callback. */
		vd->psy_type = *psy->dev.type;
		vd->psy_type.uevent = vh_of_name_uevent;
		psy->dev.type = &vd->psy_type;
	}
	mutex_lock(&vh_lock);
	vd->psy = psy;
	vd->class_dev = &psy->dev;
	mutex_unlock(&vh_lock);
	return 0;
}

/* ---- the ADC ---- */

#define VH_ADC_CHANNEL(chan_type, extend, index)                            \
	{                                                                   \
		.type = chan_type, .extend_name = extend, .address = index, \
		.info_mask_separate = BIT(IIO_CHAN_INFO_PROCESSED)          \
	}

static const struct iio_chan_spec vh_adc_channels[] = {
	VH_ADC_CHANNEL(IIO_VOLTAGE, "pm8550b_vbat_sns_chgr", 0),
	VH_ADC_CHANNEL(IIO_VOLTAGE, "pm8550b_usb_sns_v_div_16", 1),
	VH_ADC_CHANNEL(IIO_CURRENT, "pm8550b_ichg_fb", 2),
	VH_ADC_CHANNEL(IIO_CURRENT, "pm8550b_iin_fb", 3),
};

static int vh_adc_read_raw(struct iio_dev *indio_dev, struct iio_chan_spec const *chan, int *val,
			   int *val2, long mask)
{
	struct vh_device *vd = *(struct vh_device **)iio_priv(indio_dev);
	int ret;

	if (mask != IIO_CHAN_INFO_PROCESSED)
		return -EINVAL;
	mutex_lock(&vh_lock);
	ret = kstrtoint(vd->values[chan->address].text, 0, val);
	mutex_unlock(&vh_lock);
	return ret ? ret : IIO_VAL_INT;
}

static const struct iio_info vh_adc_info = {
	.read_raw = vh_adc_read_raw,
};

static int vh_probe_adc(struct vh_device *vd)
{
	struct iio_dev *indio_dev;
	int ret;

	indio_dev = iio_device_alloc(&vd->pdev->dev, sizeof(vd));
	if (!indio_dev)
		return -ENOMEM;
	*(struct vh_device **)iio_priv(indio_dev) = vd;
	indio_dev->name = vd->name;
	indio_dev->info = &vh_adc_info;
	indio_dev->modes = INDIO_DIRECT_MODE;
	indio_dev->channels = vh_adc_channels;
	indio_dev->num_channels = ARRAY_SIZE(vh_adc_channels);
	ret = iio_device_register(indio_dev);
	if (ret) {
		iio_device_free(indio_dev);
		return ret;
	}
	mutex_lock(&vh_lock);
	vd->iio = indio_dev;
	vd->class_dev = &indio_dev->dev;
	mutex_unlock(&vh_lock);
	return 0;
}

/* ---- the current limiter ---- */

static umode_t vh_hwmon_is_visible(const void *data, enum hwmon_sensor_types type, u32 attr,
				   int channel)
{
	if (type != hwmon_in || channel != 0)
		return 0;
	switch (attr) {
	case hwmon_in_enable:
	case hwmon_in_min:
	case hwmon_in_lcrit:
		return 0644;
	}
	return 0;
}

static struct vh_value *vh_hwmon_value(struct vh_device *vd, u32 attr)
{
	switch (attr) {
	case hwmon_in_enable:
		return &vd->values[VH_IN0_ENABLE];
	case hwmon_in_min:
		return &vd->values[VH_IN0_MIN];
	case hwmon_in_lcrit:
		return &vd->values[VH_IN0_LCRIT];
	}
	return NULL;
}

static int vh_hwmon_read(struct device *dev, enum hwmon_sensor_types type, u32 attr, int channel,
			 long *val)
{
	struct vh_device *vd = dev_get_drvdata(dev);
	struct vh_value *v = vh_hwmon_value(vd, attr);
	int ret;

	if (!v)
		return -EOPNOTSUPP;
	mutex_lock(&vh_lock);
	ret = kstrtol(v->text, 0, val);
	mutex_unlock(&vh_lock);
	return ret;
}

static int vh_hwmon_write(struct device *dev, enum hwmon_sensor_types type, u32 attr, int channel,
			  long val)
{
	struct vh_device *vd = dev_get_drvdata(dev);
	struct vh_value *v = vh_hwmon_value(vd, attr);
	char text[24];

	if (!v)
		return -EOPNOTSUPP;
	/* The hwmon core hands over the parsed number, not the written text. */
	snprintf(text, sizeof(text), "%ld", val);
	mutex_lock(&vh_lock);
	vh_store_text(v, text, strlen(text));
	mutex_unlock(&vh_lock);
	vh_log_write(&dev->kobj, v->name, text, strlen(text));
	return 0;
}

static const struct hwmon_ops vh_hwmon_ops = {
	.is_visible = vh_hwmon_is_visible,
	.read = vh_hwmon_read,
	.write = vh_hwmon_write,
};

static const struct hwmon_channel_info *vh_hwmon_channels[] = {
	HWMON_CHANNEL_INFO(in, HWMON_I_ENABLE | HWMON_I_MIN | HWMON_I_LCRIT),
	NULL,
};

static const struct hwmon_chip_info vh_hwmon_chip = {
	.ops = &vh_hwmon_ops,
	.info = vh_hwmon_channels,
};

static struct dentry *vh_debugfs_dir;	 /* vheadset/ */
static struct dentry *vh_dri_dir;	 /* dri/0/, where the counter lies */
static struct dentry *vh_dri_created[2]; /* dri/ and dri/0/ when this module made them */

static ssize_t vh_counter_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	struct vh_value *v = file->private_data;
	char text[VH_TEXT_MAX + 1];
	size_t len;

	mutex_lock(&vh_lock);
	len = scnprintf(text, sizeof(text), "%s\n", v->text);
	mutex_unlock(&vh_lock);
	return simple_read_from_buffer(buf, count, ppos, text, len);
}

static const struct file_operations vh_counter_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = vh_counter_read,
	.llseek = default_llseek,
};

static int vh_probe_limiter(struct vh_device *vd)
{
	struct device *hwmon;
	int ret;

	ret = sysfs_create_group(&vd->pdev->dev.kobj, &vd->group);
	if (ret)
		return ret;
	hwmon = hwmon_device_register_with_info(&vd->pdev->dev, vd->name, vd, &vh_hwmon_chip, NULL);
	if (IS_ERR(hwmon)) {
		sysfs_remove_group(&vd->pdev->dev.kobj, &vd->group);
		return PTR_ERR(hwmon);
	}
	vd->debugfs_file =
		debugfs_create_file("bcl_throttle_accum", 0444, vh_dri_dir,
				    vh_find_value(vd, "bcl_throttle_accum"), &vh_counter_fops);
	mutex_lock(&vh_lock);
	vd->hwmon = hwmon;
	vd->class_dev = hwmon;
	mutex_unlock(&vh_lock);
	return 0;
}

/* ---- regulators and the LED ---- */

static int vh_regulator_is_enabled(struct regulator_dev *rdev)
{
	struct vh_device *vd = rdev_get_drvdata(rdev);
	int enabled;

	mutex_lock(&vh_lock);
	enabled = !strcmp(vd->values[0].text, "enabled");
	mutex_unlock(&vh_lock);
	return enabled;
}

static const struct regulator_ops vh_regulator_ops = {
	.is_enabled = vh_regulator_is_enabled,
};

static int vh_probe_regulator(struct vh_device *vd)
{
	struct regulator_config cfg = {
		.dev = &vd->pdev->dev,
		.driver_data = vd,
	};
	struct regulator_dev *rdev;

	vd->reg_desc.name = vd->name;
	vd->reg_desc.type = REGULATOR_VOLTAGE;
	vd->reg_desc.owner = THIS_MODULE;
	vd->reg_desc.ops = &vh_regulator_ops;
	rdev = regulator_register(&vd->pdev->dev, &vd->reg_desc, &cfg);
	if (IS_ERR(rdev))
		return PTR_ERR(rdev);
	mutex_lock(&vh_lock);
	vd->rdev = rdev;
	vd->class_dev = &rdev->dev;
	mutex_unlock(&vh_lock);
	return 0;
}

static void vh_led_set(struct led_classdev *led, enum led_brightness brightness)
{
}

static int vh_probe_led(struct vh_device *vd)
{
	int ret;

	memset(&vd->led, 0, sizeof(vd->led));
	vd->led.name = vd->name;
	vd->led.max_brightness = 1;
	vd->led.brightness_set = vh_led_set;
	vd->led.groups = vd->groups;
	ret = led_classdev_register(&vd->pdev->dev, &vd->led);
	if (ret)
		return ret;
	mutex_lock(&vh_lock);
	vd->class_dev = vd->led.dev;
	mutex_unlock(&vh_lock);
	return 0;
}

/* ---- the platform driver ---- */

static int vh_probe(struct platform_device *pdev)
{
	struct vh_device *vd = vh_find_device(dev_name(&pdev->dev));

	if (!vd)
		return -ENODEV;
	/* Probing runs inside platform_device_add(), before vh_add_device() learns pdev. */
	vd->pdev = pdev;
	switch (vd->kind) {
	case VH_SUPPLY:
		return vh_probe_supply(vd);
	case VH_ADC:
		return vh_probe_adc(vd);
	case VH_LIMITER:
		return vh_probe_limiter(vd);
	case VH_REGULATOR:
		return vh_probe_regulator(vd);
	case VH_LED:
		return vh_probe_led(vd);
	}
	return -ENODEV;
}

static int vh_remove(struct platform_device *pdev)
{
	struct vh_device *vd = vh_find_device(dev_name(&pdev->dev));

	if (!vd)
		return 0;
	/* Unbound first: the control interface stops touching the class device. */
	mutex_lock(&vh_lock);
	vd->class_dev = NULL;
	mutex_unlock(&vh_lock);
	switch (vd->kind) {
	case VH_SUPPLY:
		power_supply_unregister(vd->psy);
		vd->psy = NULL;
		break;
	case VH_ADC:
		iio_device_unregister(vd->iio);
		iio_device_free(vd->iio);
		vd->iio = NULL;
		break;
	case VH_LIMITER:
		debugfs_remove(vd->debugfs_file);
		vd->debugfs_file = NULL;
		hwmon_device_unregister(vd->hwmon);
		vd->hwmon = NULL;
		sysfs_remove_group(&pdev->dev.kobj, &vd->group);
		break;
	case VH_REGULATOR:
		regulator_unregister(vd->rdev);
		vd->rdev = NULL;
		break;
	case VH_LED:
		led_classdev_unregister(&vd->led);
		break;
	}
	return 0;
}

static struct platform_driver vh_driver = {
	.driver = { .name = VH_DRIVER },
	.probe = vh_probe,
	.remove = vh_remove,
};

/* ---- the control file ---- */

/* Runs one command line; the result of the line. */
static int vh_command(char *line)
{
	char *cmd, *device, *attribute;
	struct vh_device *vd;
	struct vh_value *v;
	struct kobject *kobj;
	int ret = 0;

	line = skip_spaces(line);
	cmd = strsep(&line, " \t");
	if (!*cmd)
		return 0;
	if (!strcmp(cmd, "clear")) {
		vh_log_clear();
		return 0;
	}
	device = line ? strsep(&line, " \t") : NULL;
	if (!device || !*device)
		return -EINVAL;
	vd = vh_find_device(device);
	if (!vd)
		return -ENOENT;

	mutex_lock(&vh_lock);
	if (!strcmp(cmd, "change")) {
		if (!vd->class_dev)
			ret = -ENODEV;
		else if (vd->psy)
			power_supply_changed(vd->psy);
		else
			ret = kobject_uevent(&vd->class_dev->kobj, KOBJ_CHANGE);
		goto out;
	}
	attribute = line ? strsep(&line, " \t") : NULL;
	if (!attribute || !*attribute) {
		ret = -EINVAL;
		goto out;
	}
	v = vh_find_value(vd, attribute);
	if (!v || v->alias) {
		ret = -ENOENT;
		goto out;
	}
	if (!strcmp(cmd, "set") || !strcmp(cmd, "store")) {
		if (!line) {
			ret = -EINVAL;
			goto out;
		}
		line = skip_spaces(line);
		vh_store_text(v, line, strlen(line));
		if (!strcmp(cmd, "store"))
			goto out;
	} else if (strcmp(cmd, "notify")) {
		ret = -EINVAL;
		goto out;
	}
	/* A notification of an unbound device's attribute has no file to go to. */
	kobj = vh_value_kobj(v);
	if (kobj)
		sysfs_notify(kobj, NULL, v->name);
out:
	mutex_unlock(&vh_lock);
	return ret;
}

static ssize_t vh_control_write(struct file *file, const char __user *ubuf, size_t count,
				loff_t *ppos)
{
	char *buf, *rest, *line;
	int ret = 0;

	if (count >= PAGE_SIZE)
		return -E2BIG;
	buf = memdup_user_nul(ubuf, count);
	if (IS_ERR(buf))
		return PTR_ERR(buf);
	rest = buf;
	while ((line = strsep(&rest, "\n")) != NULL) {
		ret = vh_command(line);
		if (ret)
			break;
	}
	kfree(buf);
	return ret ? ret : count;
}

static const struct file_operations vh_control_fops = {
	.owner = THIS_MODULE,
	.open = nonseekable_open,
	.write = vh_control_write,
	.llseek = no_llseek,
};

/* ---- the log file ---- */

struct vh_log_reader {
	u64 seq;       /* the next line to read */
	size_t offset; /* how much of it was read already */
	bool follows;  /* it acknowledged a write: writers wait for it */
};

static int vh_log_open(struct inode *inode, struct file *file)
{
	struct vh_log_reader *reader = kzalloc(sizeof(*reader), GFP_KERNEL);

	if (!reader)
		return -ENOMEM;
	file->private_data = reader;
	return stream_open(inode, file);
}

static int vh_log_release(struct inode *inode, struct file *file)
{
	struct vh_log_reader *reader = file->private_data;

	if (reader->follows) {
		mutex_lock(&vh_log_lock);
		WRITE_ONCE(vh_log_followers, vh_log_followers - 1);
		mutex_unlock(&vh_log_lock);
		wake_up_interruptible(&vh_handled_wait);
	}
	kfree(reader);
	return 0;
}

/* "SEQUENCE\n": the writes up to SEQUENCE were handled; the file follows the log. */
static ssize_t vh_log_ack(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	struct vh_log_reader *reader = file->private_data;
	u64 seq;
	int ret;

	ret = kstrtou64_from_user(buf, count, 10, &seq);
	if (ret)
		return ret;
	mutex_lock(&vh_log_lock);
	if (!reader->follows) {
		reader->follows = true;
		WRITE_ONCE(vh_log_followers, vh_log_followers + 1);
	}
	WRITE_ONCE(vh_log_handled, max(vh_log_handled, seq));
	mutex_unlock(&vh_log_lock);
	wake_up_interruptible(&vh_handled_wait);
	return count;
}

static ssize_t vh_log_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	struct vh_log_reader *reader = file->private_data;
	struct vh_log_entry *e;
	size_t done = 0, chunk;
	int ret = 0;

	if (!count)
		return 0;
	mutex_lock(&vh_log_lock);
	list_for_each_entry(e, &vh_log, node) {
		if (e->seq < reader->seq)
			continue;
		if (e->seq > reader->seq) { /* lines dropped or cleared since: go on from here */
			reader->seq = e->seq;
			reader->offset = 0;
		}
		chunk = min(count - done, e->len - reader->offset);
		if (copy_to_user(buf + done, e->line + reader->offset, chunk)) {
			ret = -EFAULT;
			break;
		}
		done += chunk;
		reader->offset += chunk;
		if (reader->offset == e->len) {
			reader->seq++;
			reader->offset = 0;
		}
		if (done == count)
			break;
	}
	mutex_unlock(&vh_log_lock);
	return done ? done : ret;
}

static __poll_t vh_log_poll(struct file *file, poll_table *wait)
{
	struct vh_log_reader *reader = file->private_data;
	__poll_t mask = 0;

	poll_wait(file, &vh_log_wait, wait);
	mutex_lock(&vh_log_lock);
	if (!list_empty(&vh_log) &&
	    list_last_entry(&vh_log, struct vh_log_entry, node)->seq >= reader->seq)
		mask = EPOLLIN | EPOLLRDNORM;
	mutex_unlock(&vh_log_lock);
	return mask;
}

static const struct file_operations vh_log_fops = {
	.owner = THIS_MODULE,
	.open = vh_log_open,
	.release = vh_log_release,
	.read = vh_log_read,
	.write = vh_log_ack,
	.poll = vh_log_poll,
	.llseek = no_llseek,
};

/* ---- module ---- */

/* debugfs/dri/0/, made (and later removed) here when no DRM driver made it. */
static int vh_dri_dir_get(void)
{
	struct dentry *dri = debugfs_lookup("dri", NULL);

	if (!dri) {
		dri = debugfs_create_dir("dri", NULL);
		if (IS_ERR(dri))
			return PTR_ERR(dri);
		vh_dri_created[0] = dri;
		dget(dri);
	}
	vh_dri_dir = debugfs_lookup("0", dri);
	if (!vh_dri_dir) {
		vh_dri_dir = debugfs_create_dir("0", dri);
		if (IS_ERR(vh_dri_dir)) {
			dput(dri);
			return PTR_ERR(vh_dri_dir);
		}
		vh_dri_created[1] = vh_dri_dir;
		dget(vh_dri_dir);
	}
	dput(dri);
	return 0;
}

static void vh_dri_dir_put(void)
{
	dput(vh_dri_dir);
	if (vh_dri_created[1])
		debugfs_remove(vh_dri_created[1]);
	if (vh_dri_created[0])
		debugfs_remove(vh_dri_created[0]);
}

static void vh_free_tables(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(vh_devices); i++) {
		kfree(vh_devices[i].props);
		kfree(vh_devices[i].attrs);
	}
}

static void vh_unregister_devices(void)
{
	size_t i;

	for (i = ARRAY_SIZE(vh_devices); i-- > 0;) {
		platform_device_unregister(vh_devices[i].pdev);
		vh_devices[i].pdev = NULL;
	}
}

/* The sensor's platform device has a device-tree name on the device too. */
static struct device_type vh_sensor_type;

static int vh_platform_uevent(struct device *dev, struct kobj_uevent_env *env)
{
	struct vh_device *vd = vh_find_device(dev_name(dev));

	return vd && vd->of_name ? add_uevent_var(env, "OF_NAME=%s", vd->of_name) : 0;
}

static int vh_add_device(struct vh_device *vd)
{
	struct platform_device *pdev;
	int ret;

	pdev = platform_device_alloc(vd->pdev_name, PLATFORM_DEVID_NONE);
	if (!pdev)
		return -ENOMEM;
	/* The names are longer than a platform_device_id holds: matched by override. */
	ret = driver_set_override(&pdev->dev, &pdev->driver_override, VH_DRIVER, strlen(VH_DRIVER));
	if (!ret && vd->kind == VH_LIMITER)
		pdev->dev.type = &vh_sensor_type;
	if (!ret)
		ret = platform_device_add(pdev);
	if (ret) {
		platform_device_put(pdev);
		return ret;
	}
	vd->pdev = pdev;
	return 0;
}

static int __init vh_init(void)
{
	size_t i, j;
	int ret;

	vh_sensor_type.name = NULL;
	vh_sensor_type.uevent = vh_platform_uevent;
	for (i = 0; i < ARRAY_SIZE(vh_devices); i++) {
		struct vh_device *vd = &vh_devices[i];

		for (j = 0; j < vd->n_values; j++)
			vd->values[j].vd = vd;
		switch (vd->kind) {
		case VH_SUPPLY:
			ret = vh_init_supply(vd);
			break;
		case VH_LIMITER:
			ret = vh_build_group(vd, VH_ON_PLATFORM);
			break;
		case VH_LED:
			ret = vh_build_group(vd, VH_ON_CLASS_DEV);
			break;
		default:
			ret = 0;
		}
		if (ret)
			goto err_tables;
	}

	vh_debugfs_dir = debugfs_create_dir("vheadset", NULL);
	if (IS_ERR(vh_debugfs_dir)) {
		ret = PTR_ERR(vh_debugfs_dir);
		goto err_tables;
	}
	debugfs_create_file("control", 0200, vh_debugfs_dir, NULL, &vh_control_fops);
	debugfs_create_file("log", 0600, vh_debugfs_dir, NULL, &vh_log_fops);
	ret = vh_dri_dir_get();
	if (ret)
		goto err_debugfs;

	ret = platform_driver_register(&vh_driver);
	if (ret)
		goto err_dri;
	for (i = 0; i < ARRAY_SIZE(vh_devices); i++) {
		ret = vh_add_device(&vh_devices[i]);
		if (ret) {
			pr_err("vheadset: %s: %d\n", vh_devices[i].pdev_name, ret);
			goto err_devices;
		}
	}
	return 0;

err_devices:
	vh_unregister_devices();
	platform_driver_unregister(&vh_driver);
err_dri:
	vh_dri_dir_put();
err_debugfs:
	debugfs_remove(vh_debugfs_dir);
err_tables:
	vh_free_tables();
	return ret;
}

static void __exit vh_exit(void)
{
	vh_unregister_devices();
	platform_driver_unregister(&vh_driver);
	vh_dri_dir_put();
	debugfs_remove(vh_debugfs_dir);
	vh_log_clear();
	vh_free_tables();
}

module_init(vh_init);
module_exit(vh_exit);

MODULE_DESCRIPTION("The headset's charge-related devices without their hardware");
MODULE_LICENSE("GPL");
