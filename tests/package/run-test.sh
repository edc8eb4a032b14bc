#!/usr/bin/env bash
# Builds the Debian package with scripts/package, installs it on this machine
# with apt-get, checks where its files are, starts the installed server as
# the unprivileged user nfs_host from the installed configuration
# (/etc/nfs_host/nfs_host.conf: /srv/nfs as /share), lists the share with
# nfs-ls (libnfs-utils), reloads it with SIGHUP, stops it, purges the package
# and checks its files are gone. What the run made (the user, /srv/nfs) goes again when it was not
# there before. Needs root (or sudo) and a portmapper (scripts/start-rpcbind).
#
# Environment: JOBS (build), PKG_KEEP=1 keeps the temporary folder.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
# Other apt runs on the machine may hold the lock for a while.
APT=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "-- $*"; }

WORK=$(mktemp -d /tmp/package-test.XXXXXX)
SERVER_PID=""
INSTALLED=0
HAD_USER=0
HAD_SRV=0
HAD_RUN=0
getent passwd nfs_host >/dev/null && HAD_USER=1
[[ -e /srv/nfs ]] && HAD_SRV=1
[[ -e /run/nfs_host ]] && HAD_RUN=1

cleanup() {
  local status=$?
  if [[ -n $SERVER_PID ]] && kill -0 "$SERVER_PID" 2>/dev/null; then
    $SUDO kill -KILL "$SERVER_PID" 2>/dev/null || true
    # The user cannot be deleted while its process lives.
    wait_for 10 server_gone || true
  fi
  $SUDO rm -f /srv/nfs/hello-package.txt
  if ((INSTALLED)); then "${APT[@]}" purge nfs-host >/dev/null 2>&1 || true; fi
  if ((!HAD_RUN)); then $SUDO rm -rf /run/nfs_host; fi
  if ((!HAD_SRV)); then $SUDO rmdir /srv/nfs 2>/dev/null || true; fi
  if ((!HAD_USER)) && getent passwd nfs_host >/dev/null; then
    $SUDO userdel nfs_host 2>/dev/null || true
    $SUDO groupdel nfs_host 2>/dev/null || true
  fi
  if [[ ${PKG_KEEP:-0} == 1 ]]; then
    echo "kept $WORK"
  else
    $SUDO rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT

server_gone() { ! kill -0 "$SERVER_PID" 2>/dev/null; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

VERSION=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[[ -n $VERSION ]] || fail "no VERSION in project() of CMakeLists.txt"

step "building the package"
DEB=$("$ROOT/scripts/package" | tail -n 1)
[[ -f $DEB ]] || fail "scripts/package printed no package: '$DEB'"
echo "$DEB ($(du -h "$DEB" | cut -f1))"
[[ $(dpkg-deb -f "$DEB" Package) == nfs-host ]] || fail "package name"
[[ $(dpkg-deb -f "$DEB" Version) == "$VERSION" ]] || fail "package version is not $VERSION"
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
[[ $DEPENDS == *libc6* ]] || fail "Depends lacks the computed libc6: $DEPENDS"
[[ $(dpkg-deb -f "$DEB" Recommends) == *rpcbind* ]] || fail "rpcbind is not recommended"

# Debian's own checks of a package, where lintian is installed (not by
# scripts/setup: it is large, and only a packager's tool).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$DEB" || fail "lintian"
  echo "lintian: clean"
else
  echo "(lintian not here: the package's Debian checks skipped)"
fi

if dpkg-query -W -f='${Status}' nfs-host 2>/dev/null | grep -q "install ok installed"; then
  fail "nfs-host is installed already; this test would replace and purge it"
fi

step "installing it"
INSTALLED=1
"${APT[@]}" install "$DEB" >"$WORK/apt-install.log" 2>&1 || {
  cat "$WORK/apt-install.log" >&2
  fail "apt-get install"
}

step "checking the files"
dpkg -L nfs-host >"$WORK/files"
for path in /usr/bin/nfs_host /usr/lib/nfs_host/libhost.so /usr/lib/nfs_host/modules/nfs_service.so \
  /usr/lib/nfs_host/modules/nfs_service.resources /lib/systemd/system/nfs-host.service \
  /usr/share/man/man8/nfs_host.8.gz /usr/share/bash-completion/completions/nfs_host \
  /etc/nfs_host/nfs_host.conf /usr/share/doc/nfs-host/copyright /usr/share/doc/nfs-host/changelog.gz; do
  grep -qx "$path" "$WORK/files" || fail "$path is not in the package"
  [[ -f $path ]] || fail "$path is not installed"
done
# The administrator's edits of the configuration survive upgrades.
dpkg-query -W -f='${Conffiles}\n' nfs-host | grep -q '^ /etc/nfs_host/nfs_host.conf ' ||
  fail "/etc/nfs_host/nfs_host.conf is not a conffile"
[[ $(zcat /usr/share/doc/nfs-host/changelog.gz | sed -n '1s/^nfs-host (\([^)]*\)).*/\1/p') == "$VERSION" ]] ||
  fail "the changelog's first entry is not version $VERSION"
# The samples' file: scheme would serve any file the host can open.
if grep -q sample_plugins "$WORK/files"; then fail "the sample plug-ins are in the package"; fi
# The private library never lies on the system library path.
if grep -E '^/usr/lib/([^/]+/)?libhost\.so' "$WORK/files" | grep -v '^/usr/lib/nfs_host/'; then
  fail "libhost.so on the system library path"
fi
# Where the dynamic loader finds libhost.so for a program or module.
host_library_of() { realpath -e "$(ldd "$1" | awk '$1 == "libhost.so" { print $3 }')" 2>/dev/null; }
[[ $(host_library_of /usr/bin/nfs_host) == /usr/lib/nfs_host/libhost.so ]] || fail "nfs_host does not find its library"
if ldd /usr/bin/nfs_host | grep -q 'not found'; then fail "nfs_host misses a library"; fi
[[ $(host_library_of /usr/lib/nfs_host/modules/nfs_service.so) == /usr/lib/nfs_host/libhost.so ]] ||
  fail "the module does not find the host library"
[[ -x /usr/bin/nfs_host ]] || fail "/usr/bin/nfs_host is not executable"

if command -v man >/dev/null && man -w nfs_host >/dev/null 2>&1; then
  echo "man -w nfs_host: $(man -w nfs_host)"
else
  echo "(man not here: checked the page's file only)"
fi
zcat /usr/share/man/man8/nfs_host.8.gz | grep -q '^\.TH NFS_HOST 8' || fail "the manual page"

bash -n /usr/share/bash-completion/completions/nfs_host || fail "the bash completion does not parse"
# Without the bash-completion package, stand-ins for the two helpers used.
completes() {
  bash -c 'if [[ -f /usr/share/bash-completion/bash_completion ]]; then
      source /usr/share/bash-completion/bash_completion
    else
      _init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
      _filedir() { :; }
    fi
    source /usr/share/bash-completion/completions/nfs_host
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _nfs_host; echo "${COMPREPLY[*]}"' completes "$@"
}
[[ $(completes nfs_host st) == "status stats" ]] || fail "completion of 'nfs_host st': '$(completes nfs_host st)'"
[[ $(completes nfs_host --read) == "--read-only" ]] || fail "completion of 'nfs_host --read'"
[[ $(completes nfs_host nfs "") == "ls stat cat put --help" ]] || fail "completion of 'nfs_host nfs '"
[[ $(completes nfs_host stats --i) == "--interval" ]] || fail "completion of 'nfs_host stats --i'"
[[ $(completes nfs_host --log-level "") == "1 2 3 4" ]] || fail "completion of 'nfs_host --log-level '"

if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/nfs-host.service || fail "systemd-analyze verify"
  echo "systemd-analyze verify: clean"
else
  echo "(systemd-analyze not here: unit not verified)"
fi

getent passwd nfs_host >/dev/null || fail "the user nfs_host was not made"
getent group nfs_host >/dev/null || fail "the group nfs_host was not made"
if ((!HAD_SRV)); then
  [[ $(stat -c %U:%G /srv/nfs) == nfs_host:nfs_host ]] || fail "/srv/nfs is not the user's"
fi

if /usr/bin/nfs_host --version >"$WORK/version" 2>&1; then
  grep -qF "$VERSION" "$WORK/version" || fail "nfs_host --version does not print $VERSION: $(cat "$WORK/version")"
  echo "nfs_host --version: $(head -n 1 "$WORK/version")"
else
  echo "(nfs_host --version not in this build: version check skipped)"
fi

step "serving as the user nfs_host, from the installed configuration"
"$ROOT/scripts/start-rpcbind"
# What systemd makes for the unit: its RuntimeDirectory and StateDirectory.
$SUDO install -d -o nfs_host -g nfs_host -m 0755 /run/nfs_host
$SUDO install -d -o nfs_host -g nfs_host -m 0700 /var/lib/nfs_host
echo "hello from the package test" | $SUDO tee /srv/nfs/hello-package.txt >/dev/null
$SUDO chown nfs_host:nfs_host /srv/nfs/hello-package.txt

port_free() { [[ -z $(ss -Htln "sport = :$1") ]]; }
# env and setpriv exec: a program started through them keeps their pid.
AS_NFS_HOST=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin setpriv --reuid nfs_host --regid nfs_host --init-groups)
# True once the server listens, or once it is gone.
up_or_gone() { ! kill -0 "$SERVER_PID" 2>/dev/null || [[ -n $(ss -Htln "sport = :$PORT") ]]; }

# A port taken between the check and the start, or the MOUNT and NFS
# programs held at the portmapper by another user's server that runs now:
# started again a few times.
PORT=""
for attempt in 1 2 3 4 5 6 7 8; do
  candidate=$((20000 + RANDOM % 40000))
  port_free "$candidate" || continue
  PORT=$candidate
  # Everything but the port from /etc/nfs_host/nfs_host.conf, as the unit starts it.
  "${AS_NFS_HOST[@]}" /usr/bin/nfs_host --port "$PORT" >"$WORK/server.log" 2>&1 &
  SERVER_PID=$!
  wait_for 30 up_or_gone || fail "the server did not listen on $PORT within 30 s"
  if kill -0 "$SERVER_PID" 2>/dev/null; then break; fi
  echo "start $attempt on port $PORT failed:" >&2
  cat "$WORK/server.log" >&2
  SERVER_PID=""
  PORT=""
  sleep 5
done
[[ -n $PORT ]] || fail "the server did not start on any free port"
echo "nfs_host runs as $(ps -o user= -p "$SERVER_PID") (pid $SERVER_PID) on port $PORT"
[[ $(ps -o user= -p "$SERVER_PID") == nfs_host ]] || fail "the server does not run as nfs_host"

# Without auto-traverse-mounts=0 libnfs waits for an answer to MOUNT EXPORT
# that never comes (README, "Client notes").
URL="nfs://127.0.0.1/share?nfsport=$PORT&mountport=$PORT&version=3&auto-traverse-mounts=0"
listed() { timeout 20 nfs-ls "$URL" >"$WORK/listing" 2>&1 && grep -q hello-package.txt "$WORK/listing"; }
if ! wait_for 30 listed; then
  cat "$WORK/listing" "$WORK/server.log" >&2
  fail "nfs-ls did not list hello-package.txt"
fi
echo "nfs-ls $URL:"
sed 's/^/   /' "$WORK/listing"

# The service's socket is found without being named.
"${AS_NFS_HOST[@]}" timeout 20 /usr/bin/nfs_host status >"$WORK/status" 2>&1 ||
  { cat "$WORK/status" >&2; fail "nfs_host status over the control socket"; }
grep -q "/srv/nfs" "$WORK/status" || { cat "$WORK/status" >&2; fail "status does not show the export /srv/nfs"; }

step "reloading it (SIGHUP, as systemctl reload)"
kill -HUP "$SERVER_PID"
reloaded() { grep -q "Settings read again (/etc/nfs_host/nfs_host.conf)" "$WORK/server.log"; }
wait_for 20 reloaded || { cat "$WORK/server.log" >&2; fail "the server did not read its configuration again"; }
kill -0 "$SERVER_PID" || fail "the server ended on SIGHUP"

step "stopping it"
kill -TERM "$SERVER_PID"
wait_for 30 server_gone || fail "the server did not stop within 30 s of SIGTERM"
server_status=0
wait "$SERVER_PID" || server_status=$?
SERVER_PID=""
((server_status == 0)) || { cat "$WORK/server.log" >&2; fail "the server exited with $server_status"; }

$SUDO rm -f /srv/nfs/hello-package.txt

step "purging the package"
"${APT[@]}" purge nfs-host >"$WORK/apt-purge.log" 2>&1 || {
  cat "$WORK/apt-purge.log" >&2
  fail "apt-get purge"
}
INSTALLED=0
case $(dpkg-query -W -f='${db:Status-Status}' nfs-host 2>/dev/null || true) in
"" | not-installed) ;;
*) fail "nfs-host is still known to dpkg after the purge" ;;
esac
while read -r path; do
  [[ -d $path ]] && continue # shared folders such as /usr/bin stay
  [[ ! -e $path ]] || fail "$path is left after the purge"
done <"$WORK/files"
[[ ! -e /usr/lib/nfs_host ]] || fail "/usr/lib/nfs_host is left after the purge"
# The exported files are the administrator's data: a purge leaves them.
[[ -d /srv/nfs ]] || fail "the purge removed /srv/nfs"

echo "Package test passed."
