#!/usr/bin/env bash
# Runs the probe against a scripted peer inside a private network and mount namespace:
# loopback only, the probe's host name resolving to 127.0.0.1 from a hosts file of our own,
# the peer on 127.0.0.1:80. Nothing leaves the namespace.
#
#   offline.sh PROBE PEER OUTDIR BEHAVIOUR [PEER OPTIONS...]
#
# BEHAVIOUR is one of the peer's (peer --list), or no-listener (nothing on port 80), or
# unresolved-name (the host name is not in the hosts file). Writes OUTDIR/stdout,
# OUTDIR/stderr, OUTDIR/status (the probe's exit status; 124 when it was stopped at the
# time bound) and OUTDIR/received (the bytes the peer got, in hex). PROBE_TIME_LIMIT (s)
# bounds the probe's run; PROBE_WRAPPER, a command line, runs the probe under a tool
# such as strace. Exits 0 after a run,
# 77 when no namespace can be made here (the reason on standard error), 2 on misuse.
set -euo pipefail

probe_time_limit=${PROBE_TIME_LIMIT:-60}
target_host=example.com

if [ "${1:-}" = --inside ]; then
    shift
    probe=$1 peer=$2 out=$3 behaviour=$4
    shift 4
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    ip link set lo up
    if [ "$behaviour" = unresolved-name ]; then
        echo "127.0.0.1 localhost" >"$scratch/hosts"
    else
        echo "127.0.0.1 localhost $target_host" >"$scratch/hosts"
    fi
    # Names come from the hosts file alone: no name server is ever asked.
    echo "hosts: files" >"$scratch/nsswitch.conf"
    : >"$scratch/resolv.conf"
    mount --bind "$scratch/hosts" /etc/hosts
    mount --bind "$scratch/nsswitch.conf" /etc/nsswitch.conf
    mount --bind "$scratch/resolv.conf" /etc/resolv.conf

    : >"$out/received"
    peer_pid=
    case "$behaviour" in
    no-listener | unresolved-name) ;;
    *)
        "$peer" "$behaviour" "$@" --received "$out/received" --ready "$scratch/ready" 2>"$out/peer-stderr" &
        peer_pid=$!
        for _ in $(seq 100); do
            [ -e "$scratch/ready" ] && break
            kill -0 "$peer_pid" 2>/dev/null || { echo "peer failed: $(cat "$out/peer-stderr")" >&2; exit 2; }
            sleep 0.05
        done
        [ -e "$scratch/ready" ] || { echo "peer did not start listening" >&2; exit 2; }
        ;;
    esac
    status=0
    # (the braces keep the shell's own note of a probe that aborted out of the way)
    # shellcheck disable=SC2086 # PROBE_WRAPPER is a command line, split into words on purpose
    { timeout --kill-after=5 "$probe_time_limit" ${PROBE_WRAPPER:-} "$probe" >"$out/stdout" 2>"$out/stderr"; } \
        2>/dev/null || status=$?
    echo "$status" >"$out/status"
    if [ -n "$peer_pid" ]; then
        # The peer may still be writing what it received; give it a moment, then end it.
        for _ in $(seq 20); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.05; done
        kill "$peer_pid" 2>/dev/null || true
        wait "$peer_pid" 2>/dev/null || true
    fi
    exit 0
fi

if [ $# -lt 4 ]; then
    sed -n '2,13p' "$0" >&2
    exit 2
fi
probe=$(realpath "$1") peer=$(realpath "$2") out=$(realpath "$3")
shift 3
mkdir -p "$out"
self=$(realpath "$0")

# As root a network and mount namespace will do; otherwise a user namespace must carry them.
for flags in "--net --mount" "--user --map-root-user --net --mount"; do
    # shellcheck disable=SC2086
    if unshare $flags --propagation private true 2>/dev/null; then
        # shellcheck disable=SC2086
        exec unshare $flags --propagation private --fork --kill-child "$self" --inside "$probe" "$peer" "$out" "$@"
    fi
done
echo "no private network and mount namespace can be made here (needs root or user namespaces)" >&2
exit 77
