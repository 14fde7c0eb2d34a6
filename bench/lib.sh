# Shared by the separate benchmark scripts (source it after wine-env.sh).

# The program's private memory: the resident anonymous memory of its Wine
# process, found by its command line and this prefix (other prefixes may
# run a harbinel.exe of their own). Wine's own PrivateUsage counter reads 0.
private_kib() {
    local p
    for p in /proc/[0-9]*; do
        if grep -q harbinel.exe "$p/cmdline" 2>/dev/null &&
            tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            awk '/^RssAnon:/ {print $2}' "$p/status"
            return 0
        fi
    done
    echo 0
}
