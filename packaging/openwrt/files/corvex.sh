# Shell functions of the corvex package (installed as /lib/functions/corvex.sh),
# shared by the init script and the first-install script.

# The name of the TUN interface that corvex creates for the intf value $1,
# taken as corvex takes it from its configuration file (everything after the
# "=" up to the end of the line). corvex hands the kernel at most 16 bytes
# and the kernel keeps the first 15 (IFNAMSIZ - 1). Prints the name. Status 1:
# the kernel chooses the name (empty, or a pattern such as "vox%d"); status 2:
# the kernel refuses it, and corvex cannot start.
corvex_ifname() {
	local name
	name=$(LC_ALL=C printf '%.15s' "$1")
	case "$name" in
	'' | *%*) return 1 ;;
	. | .. | */* | *:* | *[[:space:]]*) return 2 ;;
	esac
	printf '%s\n' "$name"
}

# Says $* in the system log and on standard error.
corvex_say() {
	logger -t corvex -p daemon.warn -- "$*"
	echo "corvex: $*" >&2
}
