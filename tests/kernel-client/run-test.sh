#!/usr/bin/env bash
# Boots the Linux kernel NFS client under qemu (software emulation) against a
# real nfs_host exporting a fresh temporary folder, runs a guest workload and
# checks both the guest's report and the resulting tree on the host. The
# default workload asks for two restarts of the server (TERM, then KILL) while
# the guest keeps a working folder and open files on the share.
#
#   run-test.sh            the default workload (must pass)
#   run-test.sh --matrix   measurements of client behaviours (report only)
#
# Needs: qemu-system-x86_64, /bin/busybox from busybox-static, gcc with a
# static libc, apt-get (for the kernel package), a running portmapper and a
# built build/bin/nfs_host. scripts/kernel-client sets all that up.
#
# Environment: KC_TIMEOUT (seconds for the whole run, default 240, 600 with
# --matrix), KC_CACHE (kernel cache, default /var/cache/nfs-kernel-client as
# root, else ${XDG_CACHE_HOME:-$HOME/.cache}/nfs-kernel-client),
# KC_KEEP=1 keeps the temporary folder, KC_LOG_LEVEL (server, default 1).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
NFS_HOST="$ROOT/build/bin/nfs_host"

MODE=default
case "${1:-}" in
"") ;;
--matrix) MODE=matrix ;;
*)
  echo "usage: $0 [--matrix]" >&2
  exit 2
  ;;
esac

if [[ $MODE == matrix ]]; then BUDGET=${KC_TIMEOUT:-600}; else BUDGET=${KC_TIMEOUT:-240}; fi
# Only root may write under /var/cache; anyone else keeps the kernel in their own cache folder.
if [[ $(id -u) -eq 0 ]]; then
  DEFAULT_CACHE=/var/cache/nfs-kernel-client
else
  DEFAULT_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/nfs-kernel-client"
fi
CACHE=${KC_CACHE:-$DEFAULT_CACHE}
START=$SECONDS
DEADLINE=$((SECONDS + BUDGET))

WORK=$(mktemp -d /tmp/kernel-client.XXXXXX)
QEMU_PID=""
SERVER_PID=""

log() { echo "kernel-client: $*"; }

stop_pid() { # pid: TERM, then KILL after 10 s
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  [[ -n ${TRACE_PID:-} ]] && stop_pid "$TRACE_PID"
  [[ -n $QEMU_PID ]] && { kill -KILL "$QEMU_PID" 2>/dev/null || true; wait "$QEMU_PID" 2>/dev/null || true; }
  [[ -n $SERVER_PID ]] && stop_pid "$SERVER_PID"
  if [[ ${KC_KEEP:-0} == 1 ]]; then
    log "kept $WORK"
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT
trap 'log "interrupted"; exit 143' TERM INT HUP

die() {
  log "FAIL: $*"
  exit 1
}

remaining() { echo $((DEADLINE - SECONDS)); }

# --- kernel and modules -----------------------------------------------------

# The modules the guest loads; their dependencies are added from the modules'
# own "depends=" records, since the package ships no modules.dep.
WANTED_MODULES=(virtio_pci virtio_net nfsv3)

mod_file() { # name -> path of its .ko[.xz|.zst] in the unpacked tree
  local n=$1 alt=${1//_/-}
  find "$MROOT/kernel" \( -name "$n.ko" -o -name "$n.ko.xz" -o -name "$n.ko.zst" \
    -o -name "$alt.ko" -o -name "$alt.ko.xz" -o -name "$alt.ko.zst" \) -print -quit
}

mod_cat() { # file -> its uncompressed bytes on stdout
  case "$1" in
  *.xz) xz -dc "$1" ;;
  *.zst) zstd -qdc "$1" ;;
  *) cat "$1" ;;
  esac
}

declare -A SEEN=()
ORDER=()
mod_resolve() { # name: appends its dependencies, then itself, to ORDER
  local n=$1 f d deps
  [[ -n ${SEEN[$n]:-} ]] && return 0
  SEEN[$n]=1
  f=$(mod_file "$n")
  if [[ -z $f ]]; then
    if grep -qE "/${n//_/[-_]}\.ko$" "$MROOT/modules.builtin" 2>/dev/null; then return 0; fi
    die "module $n not found in the kernel package"
  fi
  deps=$(mod_cat "$f" | tr '\0' '\n' | grep -a -m1 '^depends=' | cut -d= -f2 | tr ',' ' ' || true)
  for d in $deps; do mod_resolve "$d"; done
  # Uncompressed on the host: busybox insmod may not read compressed modules.
  mod_cat "$f" >"$STAGE/modules/$n.ko"
  ORDER+=("$n")
}

kernel_package() { # prints the versioned image package linux-image-amd64 depends on
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 ~ /Depends:/ && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

prepare_kernel() { # sets KDIR to a folder with vmlinuz, modules/ and modules.list
  local pkg deb x
  pkg=$(kernel_package)
  if [[ -z $pkg ]]; then
    apt-get update -qq || true
    pkg=$(kernel_package)
  fi
  [[ -n $pkg ]] || die "apt knows no linux-image-amd64 dependency"
  KDIR="$CACHE/$pkg"
  if [[ -f $KDIR/complete ]]; then return 0; fi
  log "unpacking $pkg into $KDIR"
  mkdir -p "$CACHE" "$WORK/deb"
  (cd "$WORK/deb" && apt-get download -q "$pkg" >/dev/null 2>"$WORK/deb/download.err") ||
    { cat "$WORK/deb/download.err" >&2; die "apt-get download $pkg failed"; }
  deb=$(ls "$WORK/deb"/*.deb)
  x="$WORK/deb/x"
  dpkg-deb -x "$deb" "$x"
  MROOT=$(ls -d "$x"/lib/modules/* | head -1)
  STAGE="$WORK/deb/stage"
  mkdir -p "$STAGE/modules"
  cp "$x"/boot/vmlinuz-* "$STAGE/vmlinuz"
  for m in "${WANTED_MODULES[@]}"; do mod_resolve "$m"; done
  printf '%s\n' "${ORDER[@]}" >"$STAGE/modules.list"
  touch "$STAGE/complete"
  # Another run may have filled the cache meanwhile: the first one wins.
  mv -T "$STAGE" "$KDIR" 2>/dev/null || true
  rm -rf "$x" "$deb"
  [[ -f $KDIR/complete ]] || die "cache $KDIR is incomplete"
}

# --- guest initramfs ---------------------------------------------------------

build_initramfs() {
  local r="$WORK/initramfs"
  mkdir -p "$r/bin" "$r/lib/modules" "$r/proc" "$r/sys" "$r/dev" "$r/tmp" "$r/mnt"
  [[ -x /bin/busybox ]] || die "/bin/busybox missing (busybox-static)"
  cp /bin/busybox "$r/bin/busybox"
  gcc -static -O2 -Wall -o "$r/bin/kc-helper" "$HERE/kc-helper.c" || die "cannot build kc-helper"
  cp "$HERE/init" "$r/init"
  cp "$HERE"/workload-*.sh "$r/"
  chmod 755 "$r/init"
  cp "$KDIR"/modules/*.ko "$r/lib/modules/"
  cp "$KDIR/modules.list" "$r/modules.list"
  (cd "$r" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$WORK/initrd.gz"
}

# --- server -----------------------------------------------------------------

listening_port() { # pid -> the TCP port that process listens on
  local pid=$1 inodes hex
  inodes=$(find "/proc/$pid/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | sed 's/socket:\[\(.*\)\]/\1/' | sort -u)
  [[ -n $inodes ]] || return 0
  hex=$(awk -v inodes="$inodes" 'BEGIN { n = split(inodes, a, "\n"); for (i = 1; i <= n; i++) want[a[i]] = 1 }
    $4 == "0A" && ($10 in want) { n = split($2, l, ":"); print l[n]; exit }' /proc/net/tcp /proc/net/tcp6 2>/dev/null || true)
  [[ -n $hex ]] && echo $((16#$hex))
  return 0
}

EXPORT="$WORK/export"
STATE="$WORK/state"
RESTART_CACHE_OBJECTS=200 # far below the 2000 entries: the restarted server evicts

launch_server() { # run number, extra flags: starts nfs_host; status 0 once it serves
  local run=$1 i
  shift
  (cd "$WORK" && exec "$NFS_HOST" --config /dev/null --local-path "$EXPORT" --share-name /share --state-dir "$STATE" \
    --control-socket "$WORK/control.sock" --log-file "$WORK/server.log" \
    --log-level "${KC_LOG_LEVEL:-1}" "$@" >"$WORK/server-$run.out" 2>"$WORK/server-$run.err") &
  SERVER_PID=$!
  for ((i = 0; i < 200; i++)); do
    grep -q '^Serving' "$WORK/server-$run.out" 2>/dev/null && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^Serving' "$WORK/server-$run.out" && return 0
  stop_pid "$SERVER_PID"
  SERVER_PID=""
  return 1
}

start_server() {
  local exp="$EXPORT"
  mkdir -p "$exp/many" "$exp/deep/a/b/c" "$STATE"
  printf 'hello from the host\n' >"$exp/hello.txt"
  (cd "$exp/many" && touch $(seq -f 'f%04g' 0 1999))
  [[ $(ls "$exp/many" | wc -l) == 2000 ]] || die "could not create the 2000 entries"
  seq -f 'line %g' 1 9 >"$exp/deep/a/b/c/story.txt"
  echo 'note in c' >"$exp/deep/a/b/c/note.txt"
  echo host-0 >"$exp/deep/a/b/c/log.txt"
  : >"$exp/restart.ack"
  # No --port: when 2029 is taken the server picks a port of its own.
  launch_server 0 || { cat "$WORK/server-0.err" >&2; die "nfs_host did not start"; }
  PORT=$(listening_port "$SERVER_PID")
  [[ -n $PORT ]] || die "cannot find the port nfs_host listens on"
  log "nfs_host pid $SERVER_PID serves $exp as /share on TCP port $PORT"
}

# Stops the server (round 1 with TERM, later rounds with KILL), starts it on
# the same port with the same export and state folder, then tells the guest
# through restart.ack.
restart_server() { # round
  local round=$1 i rc
  log "restart $round requested by the guest"
  if ((round == 1)); then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
      kill -0 "$SERVER_PID" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$SERVER_PID" 2>/dev/null; then
      bad "server still running 10 s after TERM"
      kill -KILL "$SERVER_PID" 2>/dev/null || true
    fi
    { wait "$SERVER_PID"; } 2>/dev/null && rc=0 || rc=$?
    [[ $rc == 0 ]] && ok "server exited 0 on TERM" || bad "server exited $rc on TERM"
  else
    # The store writes new ids in batches within about a second; the guest
    # made its last ones before asking.
    sleep 2
    kill -KILL "$SERVER_PID" 2>/dev/null || true
    { wait "$SERVER_PID"; } 2>/dev/null || true
  fi
  SERVER_PID=""
  # Another program may take the port in the gap (2029 is shared with other
  # test runs): try again for a while, then give up.
  for ((i = 0; i < 15; i++)); do
    launch_server "$round" --port "$PORT" --cache-objects "$RESTART_CACHE_OBJECTS" && break
    grep -q 'in use' "$WORK/server-$round.err" || break
    sleep 1
  done
  if [[ -z $SERVER_PID ]]; then
    bad "restart $round: nfs_host did not start again: $(tr '\n' ' ' <"$WORK/server-$round.err")"
    return 0
  fi
  if [[ $(listening_port "$SERVER_PID") == "$PORT" ]]; then
    ok "restart $round: nfs_host pid $SERVER_PID serves on port $PORT again"
  else
    bad "restart $round: nfs_host listens on port '$(listening_port "$SERVER_PID")', not $PORT"
  fi
  echo "restart-$round" >>"$EXPORT/restart.ack"
}

# --- packet trace (matrix mode, or KC_TRACE=1) -------------------------------

TRACE_PID=""
start_trace() {
  local i
  command -v tcpdump >/dev/null || { log "no tcpdump: RPC trace skipped"; return 0; }
  tcpdump -i lo -nn -U -w "$WORK/trace.pcap" "tcp port $PORT" 2>"$WORK/tcpdump.err" &
  TRACE_PID=$!
  for ((i = 0; i < 50; i++)); do
    grep -q 'listening on' "$WORK/tcpdump.err" 2>/dev/null && return 0
    sleep 0.1
  done
  log "tcpdump did not start: $(cat "$WORK/tcpdump.err")"
}

stop_trace() {
  [[ -n $TRACE_PID ]] || return 0
  sleep 0.5
  stop_pid "$TRACE_PID"
  TRACE_PID=""
  log "RPC calls seen on port $PORT (program, version, procedure: answers):"
  tcpdump -tt -nn -x -r "$WORK/trace.pcap" 2>/dev/null | awk -v port="$PORT" -f "$HERE/rpc-trace.awk" |
    sort | sed 's/^/  /' | tee "$WORK/rpc-trace.txt"
}

# --- guest ------------------------------------------------------------------

run_guest() {
  local con="$WORK/console.log" budget shown=0 n lines round
  budget=$(($(remaining) - 15))
  ((budget > 20)) || die "no time left to boot the guest"
  : >"$con"
  qemu-system-x86_64 -accel tcg -m 512 -smp 1 \
    -nodefaults -no-reboot -display none -serial "file:$con" \
    -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd.gz" \
    -append "console=ttyS0 panic=-1 loglevel=6 mitigations=off kc.mode=$MODE kc.port=$PORT" \
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0,romfile= \
    >"$WORK/qemu.out" 2>&1 &
  QEMU_PID=$!
  local stop_at=$((SECONDS + budget))
  # Echo the guest's report lines as they come.
  while kill -0 "$QEMU_PID" 2>/dev/null; do
    if ((SECONDS >= stop_at)); then
      log "guest still running after $budget s: stopping qemu"
      kill -KILL "$QEMU_PID" 2>/dev/null || true
      break
    fi
    sleep 0.5
    n=$(wc -l <"$con")
    if ((n > shown)); then
      lines=$(sed -n "$((shown + 1)),${n}p" "$con" | tr -d '\r' | grep -a '^KC-' || true)
      [[ -n $lines ]] && echo "$lines" | sed 's/^/  guest: /'
      shown=$n
      for round in $(echo "$lines" | sed -n 's/^KC-RESTART \([0-9][0-9]*\)$/\1/p'); do
        restart_server "$round"
      done
    fi
  done
  { wait "$QEMU_PID"; } 2>/dev/null && QEMU_RC=0 || QEMU_RC=$?
  QEMU_PID=""
  sed -n "$((shown + 1)),\$p" "$con" | tr -d '\r' | grep -a '^KC-' | sed 's/^/  guest: /' || true
  tr -d '\r' <"$con" >"$WORK/console.txt"
}

# --- checks -----------------------------------------------------------------

PASSED=0
FAILED=0
ok() {
  PASSED=$((PASSED + 1))
  log "PASS $*"
}
bad() {
  FAILED=$((FAILED + 1))
  log "FAIL $*"
}

DEFAULT_STEPS=(net mount ls-la stat read-small mkdir mkdir-sub write-4MiB umount-1 remount read-4MiB
  mv rm rmdir list-2000 list-2000-long umount mount-r list-2000-0 cd-deep read-fd3-0 append-fd4-0)
for r in 1 2; do
  DEFAULT_STEPS+=(ack-$r ls-cwd-$r stat-cwd-$r read-rel-$r read-fd3-$r append-fd4-$r create-cwd-$r list-2000-$r)
done
DEFAULT_STEPS+=(umount-r)

check_default() {
  local c="$WORK/console.txt" exp="$WORK/export" s sum host_sum
  for s in "${DEFAULT_STEPS[@]}"; do
    if grep -aqE "^KC-PASS $s( |$)" "$c"; then ok "guest $s"; else bad "guest $s"; fi
  done
  grep -aq '^KC-FAIL' "$c" && bad "guest reported: $(grep -a '^KC-FAIL' "$c" | tr '\n' ' ')"
  if grep -aqx 'KC-RESULT PASS' "$c"; then ok "guest final marker"; else bad "guest final marker"; fi

  sum=$(grep -a '^KC-INFO md5 big.bin ' "$c" | awk '{ print $4 }' || true)
  host_sum=$(md5sum "$exp/work/big.bin" 2>/dev/null | awk '{ print $1 }' || true)
  if [[ -n $sum && $sum == "$host_sum" && $(stat -c %s "$exp/work/big.bin" 2>/dev/null) == 4194304 ]]; then
    ok "host big.bin md5 $host_sum matches the guest's"
  else
    bad "host big.bin md5 '${host_sum}' vs guest '${sum}'"
  fi
  [[ -d $exp/work/sub ]] && ok "host work/sub is a folder" || bad "host work/sub missing"
  [[ $(cat "$exp/work/b.txt" 2>/dev/null) == moved-content ]] && ok "host work/b.txt renamed" || bad "host work/b.txt"
  [[ ! -e $exp/work/a.txt && ! -e $exp/work/gone.txt && ! -e $exp/work/tmpdir ]] &&
    ok "host removed entries are gone" || bad "host a.txt, gone.txt or tmpdir still present"
  [[ $(ls -A "$exp/work" 2>/dev/null | sort | tr '\n' ' ') == "b.txt big.bin sub " ]] &&
    ok "host work/ holds exactly b.txt big.bin sub" || bad "host work/ holds: $(ls -A "$exp/work" 2>&1 | tr '\n' ' ')"
  local c_dir="$exp/deep/a/b/c"
  [[ $(cat "$c_dir/log.txt" 2>/dev/null | tr '\n' ' ') == "host-0 guest-0 guest-1 guest-2 " ]] &&
    ok "host deep/a/b/c/log.txt holds every append" || bad "host log.txt holds: $(tr '\n' ' ' <"$c_dir/log.txt" 2>&1)"
  [[ $(cat "$c_dir/made-1.txt" 2>/dev/null) == made-1 && $(cat "$c_dir/made-2.txt" 2>/dev/null) == made-2 ]] &&
    ok "host made-1.txt and made-2.txt made after the restarts" || bad "host made-1.txt or made-2.txt"
  [[ $(ls -A "$exp/many" | wc -l) == 2000 && $(cat "$exp/hello.txt") == "hello from the host" ]] &&
    ok "host many/ and hello.txt unchanged" || bad "host many/ or hello.txt changed"
}

check_matrix() {
  local c="$WORK/console.txt"
  grep -aq '^KC-RESULT' "$c" && ok "matrix finished" || bad "matrix did not finish"
  log "measurements:"
  grep -a '^KC-MATRIX' "$c" | sed 's/^KC-MATRIX /  /' || true
  log "server log: $(grep -c 'NFS::Pathconf() called' "$WORK/server.log") PATHCONF and $(grep -c 'NFS::Readdir() called' "$WORK/server.log") READDIR calls left unanswered"
}

# --- main -------------------------------------------------------------------

[[ -x $NFS_HOST ]] || die "$NFS_HOST missing; build the project first"
prepare_kernel
build_initramfs
start_server
log "booting $(basename "$KDIR") under qemu (tcg), mode $MODE, budget $(remaining) s"
GUEST_START=$SECONDS
[[ $MODE == matrix || ${KC_TRACE:-0} == 1 ]] && start_trace
run_guest
stop_trace
log "guest ran $((SECONDS - GUEST_START)) s (qemu exit $QEMU_RC)"

if kill -0 "$SERVER_PID" 2>/dev/null; then ok "server still running"; else bad "server died during the run"; fi
stop_pid "$SERVER_PID"
SERVER_PID=""
mkdir -p "$ROOT/build/kernel-client" &&
  cp "$WORK/server.log" "$WORK/console.txt" "$WORK"/rpc-trace.txt "$ROOT/build/kernel-client/" 2>/dev/null || true

if [[ $MODE == default ]]; then check_default; else check_matrix; fi

if ((FAILED > 0)); then
  log "guest console (last 60 lines):"
  tail -n 60 "$WORK/console.txt" | sed 's/^/  | /'
  [[ -s $WORK/qemu.out ]] && { log "qemu said:"; sed 's/^/  | /' "$WORK/qemu.out"; }
  log "server log (last 40 lines):"
  tail -n 40 "$WORK/server.log" 2>/dev/null | sed 's/^/  | /'
fi
log "total $((SECONDS - START)) s"
echo "kernel-client: $PASSED passed, $FAILED failed"
((FAILED == 0))
