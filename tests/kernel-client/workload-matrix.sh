# Measurement workload (kernel-client --matrix), sourced by /init: how the
# kernel client copes with what this server leaves unanswered. Results are
# KC-MATRIX lines; nothing here passes or fails except reaching the end.
# Short soft timeouts (timeo in tenths of a second) keep each unanswered
# request to about timeo * (1 + retrans); hard mounts are killed after 15 s.

SRC=10.0.2.2:/share
BASE="vers=3,proto=tcp,port=$KC_PORT,mountport=$KC_PORT,mountproto=tcp,nolock,addr=10.0.2.2"
SOFT="soft,timeo=10,retrans=1"
HARD="hard,timeo=10,retrans=1"

m() { echo "KC-MATRIX $*"; }

# The kernel's own per-operation counters for /mnt: operations, transmissions,
# major timeouts, then cumulative execute milliseconds and errors.
opstats() {
    awk '/ mounted on \/mnt with fstype nfs/ { on = 1; next }
         /^device / { on = 0 }
         on && /^[ \t]+[A-Z]+: [0-9]/ && $2 > 0 {
             printf "%s ops=%s trans=%s timeouts=%s execute_ms=%s errors=%s; ", $1, $2, $3, $4, $9, ($10 == "" ? "-" : $10)
         }' /proc/self/mountstats
}

try_mount() { # label, options, kill-after seconds
    out=$(timeout -s KILL "$3" kc-helper mount $SRC /mnt "$BASE,$2" 2>&1)
    rc=$?
    [ $rc = 137 ] && out="still blocked, killed after $3 s"
    m "$1 [$2]: $out"
    return $rc
}

phase() {
    echo "KC-PHASE $*"
}

run_matrix() {
    phase acl
    if try_mount "mount with namlen=255 (NFSACL ping)" "namlen=255,$SOFT" 30; then
        m "  ops: $(opstats)"
        n=$(timeout -s KILL 60 ls -1 /mnt/many | wc -l)
        m "busybox ls -1 of 2000 entries (soft): $n entries"
        m "  ops: $(opstats)"
        umount /mnt
    fi
    phase noacl
    try_mount "mount with namlen=255,noacl" "namlen=255,noacl,$SOFT" 30 && umount /mnt

    phase pathconf-soft
    if try_mount "mount without namlen (PATHCONF, soft)" "$SOFT" 30; then
        m "  statfs namelen: $(stat -f -c %l /mnt)"
        m "  ops: $(opstats)"
        umount /mnt
    fi

    phase pathconf-soft-2
    try_mount "mount without namlen (PATHCONF, soft)" "soft,timeo=5,retrans=3" 30 && umount /mnt

    phase find
    if try_mount "mount for busybox find" "namlen=255,$SOFT" 30; then
        n=$(timeout -s KILL 60 find /mnt/many -type f 2>/tmp/find.err | wc -l)
        m "busybox find of 2000 entries (soft): $n files $(head -c 200 /tmp/find.err)"
        m "  ops: $(opstats)"
        umount /mnt
    fi

    phase getdents-4k
    if try_mount "mount for getdents64 4 KiB" "namlen=255,$SOFT" 30; then
        m "getdents64 4 KiB buffer (soft): $(timeout -s KILL 120 kc-helper getdents /mnt/many 4096 2>&1)"
        m "  ops: $(opstats)"
        umount /mnt
    fi

    phase getdents-32k
    if try_mount "mount for getdents64 32 KiB" "namlen=255,$SOFT" 30; then
        m "getdents64 32 KiB buffer (soft): $(timeout -s KILL 120 kc-helper getdents /mnt/many 32768 2>&1)"
        m "  ops: $(opstats)"
        umount /mnt
    fi

    phase ls-la
    if try_mount "mount for ls -la" "namlen=255,$SOFT" 30; then
        n=$(timeout -s KILL 60 ls -la /mnt/many | grep -c ' f[0-9][0-9][0-9][0-9]$')
        m "busybox ls -la of 2000 entries (soft): $n files"
        m "  ops: $(opstats)"
        umount /mnt
    fi

    # Hard mounts last: a request they wait on forever may leave kernel state
    # behind that would disturb the measurements above.
    phase getdents-4k-hard
    if try_mount "mount for getdents64 4 KiB (hard)" "namlen=255,$HARD" 30; then
        out=$(timeout -s KILL 15 kc-helper getdents /mnt/many 4096 2>&1)
        [ $? = 137 ] && out="still blocked, killed after 15 s"
        m "getdents64 4 KiB buffer (hard): $out"
        m "  ops: $(opstats)"
        timeout -s KILL 10 umount -f /mnt || m "  umount -f failed"
    fi

    phase pathconf-hard
    try_mount "mount without namlen (PATHCONF, hard)" "$HARD" 15 && umount /mnt
    phase end
}

run_matrix
echo "KC-RESULT DONE"
