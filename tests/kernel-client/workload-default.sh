# Default guest workload, sourced by /init: one mount of the share and the
# everyday operations of a client, each reported as KC-PASS or KC-FAIL.
# The host made hello.txt ("hello from the host"), many/ (2000 files),
# deep/a/b/c/ (story.txt "line 1".."line 9", note.txt "note in c", log.txt
# "host-0") and an empty restart.ack, to which it appends "restart-N" once
# it has restarted the server after the guest printed "KC-RESTART N".

passed=0
failed=0
pass() { echo "KC-PASS $*"; passed=$((passed + 1)); }
fail() { echo "KC-FAIL $*"; failed=$((failed + 1)); }
# Soft with a short retry budget: a request the server leaves unanswered
# turns into EIO and a FAIL line instead of a guest stuck until the host
# gives up on it.
T="timeout -s KILL 60"
OPTS="vers=3,proto=tcp,port=$KC_PORT,mountport=$KC_PORT,mountproto=tcp,nolock,namlen=255,soft,timeo=100,retrans=2,addr=10.0.2.2"
SRC=10.0.2.2:/share

check() { # name, then a command: PASS when it succeeds
    name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

run_default() {
    echo "KC-INFO options $OPTS"
    if $T kc-helper mount $SRC /mnt "$OPTS"; then
        pass mount
    else
        fail mount
        return
    fi

    out=$($T ls -la /mnt 2>&1)
    rc=$?
    echo "$out" | sed 's/^/KC-LOG ls-la: /'
    check ls-la test $rc = 0 -a -n "$(echo "$out" | grep ' hello.txt$')" -a -n "$(echo "$out" | grep ' many$')"

    st=$($T stat -c '%s %F' /mnt/hello.txt 2>&1)
    echo "KC-LOG stat: $st"
    check stat test "$st" = "20 regular file"
    check read-small test "$($T cat /mnt/hello.txt)" = "hello from the host"

    check mkdir $T mkdir /mnt/work
    check mkdir-sub sh -c "$T mkdir /mnt/work/sub && test -d /mnt/work/sub"

    dd if=/dev/urandom of=/tmp/src.bin bs=65536 count=64 2>/dev/null
    sum=$(md5sum /tmp/src.bin | cut -d' ' -f1)
    echo "KC-INFO md5 big.bin $sum"
    check write-4MiB $T dd if=/tmp/src.bin of=/mnt/work/big.bin bs=65536 conv=fsync

    # Remount so the read below comes from the server, not the page cache.
    check umount-1 $T umount /mnt
    check remount $T kc-helper mount $SRC /mnt "$OPTS"
    back=$($T md5sum /mnt/work/big.bin | cut -d' ' -f1)
    echo "KC-INFO md5 read back $back"
    check read-4MiB test "$back" = "$sum" -a "$($T stat -c %s /mnt/work/big.bin)" = 4194304

    echo moved-content >/mnt/work/a.txt
    check mv sh -c "$T mv /mnt/work/a.txt /mnt/work/b.txt && test ! -e /mnt/work/a.txt && test \"\$(cat /mnt/work/b.txt)\" = moved-content"

    echo doomed >/mnt/work/gone.txt
    check rm sh -c "test -f /mnt/work/gone.txt && $T rm /mnt/work/gone.txt && test ! -e /mnt/work/gone.txt"

    $T mkdir /mnt/work/tmpdir
    check rmdir sh -c "test -d /mnt/work/tmpdir && $T rmdir /mnt/work/tmpdir && test ! -e /mnt/work/tmpdir"

    n=$($T ls -1 /mnt/many | wc -l)
    echo "KC-INFO ls -1 many: $n entries"
    check list-2000 test "$n" = 2000
    n=$($T ls -la /mnt/many | grep -c ' f[0-9][0-9][0-9][0-9]$')
    echo "KC-INFO ls -la many: $n files"
    check list-2000-long test "$n" = 2000

    check umount $T umount /mnt
}

# True once restart.ack holds "restart-$1"; bounded. Each try opens the file,
# which makes the client ask the server for fresh attributes, and so also
# finds out when the server answers again.
wait_ack() {
    end=$(($(date +%s) + 60))
    while [ "$(date +%s)" -lt "$end" ]; do
        if $T grep -qx "restart-$1" /mnt/restart.ack 2>/dev/null; then return 0; fi
        sleep 0.5
    done
    return 1
}

# Lists many/, all of it in the first getdents call: busybox ls reads 32 KiB
# at a time, and once the client holds the entries this kernel answers the
# second call with plain READDIR, which this server leaves unanswered. After
# a restart also stats every 4th entry (500, more than the restarted server
# caches), each stat asking the server about a handle the client kept.
list_many() {
    if [ "$1" = 0 ]; then
        out=$($T kc-helper getdents /mnt/many 1048576 2>&1)
    else
        out=$($T kc-helper list /mnt/many 4 2>&1)
    fi
    rc=$?
    echo "KC-INFO many ($1): $out"
    check list-2000-$1 test $rc = 0 -a -n "$(echo "$out" | grep ' entries=2000 ')"
}

# What the client held before restart $1 must still work: the working
# folder, both open files, and handles of the 2000 entries.
after_restart() {
    r=$1
    out=$($T ls . 2>&1)
    rc=$?
    echo "KC-LOG ls . ($r): $(echo "$out" | tr '\n' ' ')"
    check ls-cwd-$r test $rc = 0 -a -n "$(echo "$out" | grep -x story.txt)" -a -n "$(echo "$out" | grep -x note.txt)"
    st=$($T stat -c '%F' . 2>&1)
    echo "KC-LOG stat . ($r): $st"
    check stat-cwd-$r test "$st" = directory
    a=$($T cat note.txt 2>&1)
    b=$($T cat ../../b/c/note.txt 2>&1)
    echo "KC-LOG read relative ($r): $a / $b"
    check read-rel-$r test "$a" = "note in c" -a "$b" = "note in c"
    # A child shares fd 3's offset, and a timeout bounds it.
    line=$($T sh -c 'read -r l && echo "$l"' <&3 2>&1)
    echo "KC-LOG fd 3 ($r): $line"
    check read-fd3-$r test "$line" = "line $((r + 1))"
    check append-fd4-$r sh -c "echo guest-$r >&4 && $T kc-helper fsync 4"
    check create-cwd-$r sh -c "echo made-$r >made-$r.txt && test \"\$($T cat made-$r.txt)\" = made-$r"
    list_many $r
}

# A mount that the host restarts the server under: the first time with TERM,
# the second with KILL. actimeo=0 makes every stat ask the server, so the
# checks use the handles the client kept, not its attribute cache.
run_restart() {
    if $T kc-helper mount $SRC /mnt "$OPTS,actimeo=0"; then
        pass mount-r
    else
        fail mount-r
        return
    fi
    # The client now holds a handle of every entry.
    list_many 0
    if ! cd /mnt/deep/a/b/c; then
        fail cd-deep
        $T umount /mnt
        return
    fi
    pass cd-deep
    # "command": a failed redirection on exec must not end this shell (PID 1).
    command exec 3<story.txt
    line=$($T sh -c 'read -r l && echo "$l"' <&3 2>&1)
    check read-fd3-0 test "$line" = "line 1"
    command exec 4>>log.txt
    check append-fd4-0 sh -c "echo guest-0 >&4 && $T kc-helper fsync 4"

    for r in 1 2; do
        sync
        echo "KC-RESTART $r"
        if wait_ack $r; then pass ack-$r; else fail ack-$r; fi
        # Data pages go, so reads and listings reach the server; the
        # dentries and open files keep the handles from before.
        echo 1 >/proc/sys/vm/drop_caches
        after_restart $r
    done

    exec 3<&- 4>&-
    cd /
    # busybox timeout leaves a watcher for up to a second after its command,
    # in the old working folder and with fds 3 and 4: the mount is busy until
    # it is gone.
    i=0
    until $T umount /mnt 2>/dev/null; do
        i=$((i + 1))
        if [ $i -ge 10 ]; then
            fail umount-r
            return
        fi
        sleep 0.5
    done
    pass umount-r
}

run_default
run_restart
echo "KC-SUMMARY passed=$passed failed=$failed"
if [ $failed = 0 ] && [ $passed -gt 0 ]; then echo "KC-RESULT PASS"; else echo "KC-RESULT FAIL"; fi
