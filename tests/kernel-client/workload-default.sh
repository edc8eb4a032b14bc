# Default guest workload, sourced by /init: one mount of the share and the
# everyday operations of a client, each reported as KC-PASS or KC-FAIL.
# The host made hello.txt ("hello from the host") and many/ (2000 files).

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

run_default
echo "KC-SUMMARY passed=$passed failed=$failed"
if [ $failed = 0 ] && [ $passed -gt 0 ]; then echo "KC-RESULT PASS"; else echo "KC-RESULT FAIL"; fi
