# A stand-in for OpenWrt's /lib/functions.sh, for tests of the package's
# scripts: config_load reads "uci -S -n export" and runs it as shell, through
# the functions config, option and list below, which keep each value in
# CONFIG_<section>_<option> and call config_cb, option_cb and list_cb.
# Kept to what the scripts use.

append() {
	local _var="$1" _value="$2" _sep="${3:- }"
	eval "$_var=\${$_var:+\${$_var}\$_sep}\$_value"
}

list_contains() {
	local _var="$1" _str="$2" _val
	eval "_val=\" \${$_var} \""
	[ "${_val% "$_str" *}" != "$_val" ]
}

reset_cb() {
	config_cb() { return 0; }
	option_cb() { return 0; }
	list_cb() { return 0; }
}
reset_cb

package() { return 0; }

config() {
	CONFIG_NUM_SECTIONS=$((CONFIG_NUM_SECTIONS + 1))
	CONFIG_SECTION="${2:-cfg$CONFIG_NUM_SECTIONS}"
	append CONFIG_SECTIONS "$CONFIG_SECTION"
	config_set "$CONFIG_SECTION" TYPE "$1"
	config_cb "$1" "$CONFIG_SECTION"
}

option() {
	local _name="$1"
	shift
	config_set "$CONFIG_SECTION" "$_name" "$*"
	option_cb "$_name" "$*"
}

list() {
	local _name="$1" _cur
	shift
	config_get _cur "$CONFIG_SECTION" "$_name"
	config_set "$CONFIG_SECTION" "$_name" "${_cur:+$_cur }$*"
	list_cb "$_name" "$*"
}

config_set() {
	eval "CONFIG_${1}_${2}=\$3"
}

# config_get VAR SECTION OPTION [DEFAULT]; an empty value gives DEFAULT.
config_get() {
	eval "$1=\${CONFIG_${2}_${3}:-\$4}"
}

config_get_bool() {
	local _tmp
	config_get _tmp "$2" "$3" "$4"
	case "$_tmp" in
	1 | on | true | yes | enabled) _tmp=1 ;;
	0 | off | false | no | disabled) _tmp=0 ;;
	*) _tmp="$4" ;;
	esac
	eval "$1=\$_tmp"
}

config_foreach() {
	local _cb="$1" _type="$2" _s _t
	shift 2
	for _s in $CONFIG_SECTIONS; do
		config_get _t "$_s" TYPE
		[ -z "$_type" ] || [ "$_t" = "$_type" ] || continue
		"$_cb" "$_s" "$@"
	done
}

config_load() {
	local _data
	CONFIG_SECTIONS=
	CONFIG_NUM_SECTIONS=0
	CONFIG_SECTION=
	_data=$(uci -S -n export "$1" 2>/dev/null) || return 1
	eval "$_data"
}
