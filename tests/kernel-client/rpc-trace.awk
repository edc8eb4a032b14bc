# Summarises the ONC RPC traffic of one server port from the text of
# `tcpdump -tt -nn -x -r FILE`: per program and procedure, how many calls
# were sent, how they were answered (accept status) and how many got no
# answer. Usage: awk -v port=PORT -f rpc-trace.awk
# Each TCP direction is followed as a stream of record-marked messages, so
# calls and replies are found wherever they start inside a segment.

function hexval(s,    i, v) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
}
# Byte i of the current packet; tcpdump prints 16 bytes a line.
function byte(i) { return hexval(substr(line[int(i / 16)], 2 * (i % 16) + 1, 2)) }
function u16(i) { return byte(i) * 256 + byte(i + 1) }
function u32(i) { return ((byte(i) * 256 + byte(i + 1)) * 256 + byte(i + 2)) * 256 + byte(i + 3) }
# Byte i of the stream data at hand: the saved tail of the last segment, then
# the current segment's payload.
function sbyte(i) { return i < plen ? hexval(substr(pend, 2 * i + 1, 2)) : byte(pstart + i - plen) }
function s32(i) { return ((sbyte(i) * 256 + sbyte(i + 1)) * 256 + sbyte(i + 2)) * 256 + sbyte(i + 3) }

function procname(prog, proc) {
    if (prog == 100003 && (proc in nfsproc)) return nfsproc[proc]
    if (prog == 100005 && (proc in mntproc)) return mntproc[proc]
    if (prog == 100227 && (proc in aclproc)) return aclproc[proc]
    return "proc" proc
}

function message(q, toserver, conn,    xid, mtype, key, vlen, st, prog, vers, proc, ms) {
    xid = s32(q + 4)
    mtype = s32(q + 8)
    key = conn "/" xid
    if (toserver && mtype == 0) {
        if (key in callname) {
            retrans[callname[key]]++
            return
        }
        prog = s32(q + 16)
        vers = s32(q + 20)
        proc = s32(q + 24)
        callname[key] = prog " v" vers " " procname(prog, proc)
        calltime[key] = t
        calls[callname[key]]++
    } else if (!toserver && mtype == 1 && (key in callname) && !(key in answered)) {
        if (s32(q + 12) == 0) {
            vlen = s32(q + 20)
            st = s32(q + 24 + 4 * int((vlen + 3) / 4))
            st = (st in accept) ? accept[st] : "accept_stat_" st
        } else {
            st = "MSG_DENIED"
        }
        answered[key] = 1
        replies[callname[key], st]++
        ms = (t - calltime[key]) * 1000
        if (ms > maxms[callname[key]]) maxms[callname[key]] = ms
    }
}

function flush(    ihl, total, doff, seq, n, s, avail, q, rm, toserver, conn, need) {
    if (nlines == 0) return
    ihl = (byte(0) % 16) * 4
    total = u16(2)
    doff = int(byte(ihl + 12) / 16) * 4
    pstart = ihl + doff
    n = total - pstart
    nlines = 0
    s = src ">" dst
    if (byte(ihl + 13) % 4 >= 2) { # SYN: a new connection on this pair
        delete expect[s]; skip[s] = 0; pending[s] = ""; cont[s] = 0
    }
    if (n <= 0 || total > captured_bytes) return
    toserver = (dport == port)
    conn = toserver ? src : dst
    seq = u32(ihl + 4)
    # Duplicates and overlaps are trimmed; a gap restarts the parser.
    if (s in expect) {
        if (seq + n <= expect[s]) return
        if (seq < expect[s]) { pstart += expect[s] - seq; n -= expect[s] - seq; seq = expect[s] }
        else if (seq > expect[s]) { skip[s] = 0; pending[s] = ""; cont[s] = 0 }
    }
    expect[s] = seq + n
    if (skip[s] >= n) { skip[s] -= n; return }
    pstart += skip[s]
    n -= skip[s]
    skip[s] = 0
    pend = pending[s]
    plen = length(pend) / 2
    avail = plen + n
    q = 0
    while (q + 4 <= avail) {
        rm = s32(q)
        need = rm >= 2147483648 ? rm - 2147483648 : rm
        if (!cont[s]) {
            if (q + 28 > avail) break
            message(q, toserver, conn)
        }
        cont[s] = rm < 2147483648
        if (q + 4 + need > avail) {
            skip[s] = q + 4 + need - avail
            q = avail
            break
        }
        q += 4 + need
    }
    # Keep an incomplete record header for the next segment.
    pending[s] = ""
    for (; q < avail; q++) pending[s] = pending[s] sprintf("%02x", sbyte(q))
}

BEGIN {
    split("NULL GETATTR SETATTR LOOKUP ACCESS READLINK READ WRITE CREATE MKDIR SYMLINK MKNOD REMOVE RMDIR RENAME LINK READDIR READDIRPLUS FSSTAT FSINFO PATHCONF COMMIT", a, " ")
    for (i = 1; i <= 22; i++) nfsproc[i - 1] = a[i]
    split("NULL MNT DUMP UMNT UMNTALL EXPORT", a, " ")
    for (i = 1; i <= 6; i++) mntproc[i - 1] = a[i]
    split("NULL GETACL SETACL GETXATTRDIR", a, " ")
    for (i = 1; i <= 4; i++) aclproc[i - 1] = a[i]
    split("SUCCESS PROG_UNAVAIL PROG_MISMATCH PROC_UNAVAIL GARBAGE_ARGS SYSTEM_ERR", a, " ")
    for (i = 1; i <= 6; i++) accept[i - 1] = a[i]
    nlines = 0
}

/^[0-9]/ {
    flush()
    t = $1
    src = $3
    dst = $5
    sub(/:$/, "", dst)
    nd = split(dst, d, ".")
    dport = d[nd]
    captured_bytes = 0
    next
}

/^[ \t]+0x[0-9a-f]+:/ {
    h = ""
    for (i = 2; i <= NF; i++) h = h $i
    line[nlines++] = h
    captured_bytes += length(h) / 2
    next
}

END {
    flush()
    for (c in calls) {
        out = c ": calls=" calls[c]
        if (retrans[c] > 0) out = out " retransmissions=" retrans[c]
        got = 0
        for (r in replies) {
            split(r, rk, SUBSEP)
            if (rk[1] == c) {
                out = out " " rk[2] "=" replies[r]
                got += replies[r]
            }
        }
        if (calls[c] - got > 0) out = out " unanswered=" (calls[c] - got)
        if (got > 0) out = out sprintf(" max_reply_ms=%.1f", maxms[c])
        print out
    }
}
