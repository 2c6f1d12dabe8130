#!/bin/sh
# Runs the updater as an operator would for one case, in the guest and on the host alike:
#   drive.sh CASE.env TRANSCRIPT COMMAND...
# CASE.env (written by cases.sh folders) gives keys, repeat, stop, count, settle and load. COMMAND
# starts the updater. Its standard output goes byte for byte to TRANSCRIPT and is watched
# line by line: a key is typed at the case's first prompts, and the updater is ended once
# the case's last expected text has come and the output has settled. With VX_MARK set (the
# guest's /dev/kmsg), the moments that the measurements need are written there, stamped by
# the kernel's clock, with the updater's threads, open files and context switches, and two
# busy loops run during the attempts the case names. Exit status 1 when the case ran out of
# time.
set -u
env=$1 transcript=$2
shift 2
keys=0 repeat=0 stop= count=1 settle=1 load=0
. "$env"
limit=240  # seconds for the whole case

work=$(mktemp -d)
mkfifo "$work/keys" "$work/out"
exec 3<>"$work/keys"
sh -c 'echo $$ > "$0"; exec "$@"' "$work/pid" "$@" <&3 | tee "$transcript" > "$work/out" &
(
  trap 'kill $sleeper 2>/dev/null; exit 0' TERM
  sleep $limit &
  sleeper=$!
  wait $sleeper && { touch "$work/late"; kill "$(cat "$work/pid")"; }
) 2>/dev/null &
timer=$!

mark() { if [ -n "${VX_MARK:-}" ]; then echo "<2>vx-mark $*" > "$VX_MARK"; fi; }
# The updater's process (su execs the shell, which execs the updater).
updater() { pidof vx_fw_load 2>/dev/null | cut -d' ' -f1; }
# Its open files and threads, and the context switches (voluntary and not) of all its
# threads, of its main thread and of its USB event thread.
resources() {
  [ -n "${VX_MARK:-}" ] || return 0
  p=$(updater)
  [ -n "$p" ] || return 0
  switches=$(cat /proc/"$p"/task/*/status | awk '/^Name:/ { name = $2 } /ctxt_switches/ { n += $2; by[name] += $2 }
    END { printf "%d main %d events %d", n, by["vx_fw_load"], by["vx-usb-events"] }')
  mark "resources $1 fds $(ls /proc/"$p"/fd | wc -l) threads $(ls /proc/"$p"/task | wc -l) switches $switches"
}
# Each thread's name, scheduling policy and nice value (fields 41 and 19 of its stat).
threads() {
  [ -n "${VX_MARK:-}" ] || return 0
  p=$(updater)
  for t in /proc/"$p"/task/*; do
    set -- $(sed 's/.*) //' "$t/stat")
    shift 16
    nice=$1
    shift 22
    mark "thread $(basename "$t") $(cat "$t/comm") main $([ "$(basename "$t")" = "$p" ] && echo 1 || echo 0) policy $1 nice $nice"
  done
}
# Interfaces of the guest's USB devices that a program has claimed (bound to usbfs), marked
# whenever that set changes.
if [ -n "${VX_MARK:-}" ]; then
  (
    last=
    while sleep 0.3; do
      now=
      for d in /sys/bus/usb/devices/*:1.0; do
        [ "$(basename "$(readlink "$d/driver" 2>/dev/null)")" = usbfs ] && now="$now $(basename "$d")=$(cat "$d/../idVendor"):$(cat "$d/../idProduct")"
      done
      [ "$now" != "$last" ] && [ -n "$now" ] && mark "claimed$now"
      last=$now
    done
  ) 2>/dev/null &
  claims=$!
fi

# Types a key: the start of the next attempt, with two busy loops when the case names it
# among its load attempts.
typed=0
key() {
  typed=$((typed + 1))
  resources before-attempt
  case " $load " in
    *" $typed "*)
      if [ -n "${VX_MARK:-}" ]; then
        for _ in 1 2; do (while :; do :; done) & loops="$loops $!"; done
        mark "load on"
      fi ;;
  esac
  printf k >&3
}

prompts=0 hits=0 ends=0 loops=
while IFS= read -r line; do
  case $line in *"Connect Valtor locator"*) sleep 0.5; resources start; mark ready ;; esac
  case $line in
    *"Press any key to start download"*)
      mark prompt
      prompts=$((prompts + 1))
      [ $prompts -eq 1 ] && threads
      if [ $prompts -le $keys ]; then key; fi ;;
  esac
  case $line in *"Download Complete"*) mark attempt-end ;; esac
  case $line in
    "************"*)
      if [ -n "$loops" ]; then kill $loops; loops=; mark "load off"; fi
      resources after-attempt
      ends=$((ends + 1))
      # Keys that come while the attempt is still ending are discarded, as they should be:
      # the next one waits as an operator would.
      if [ $ends -le $repeat ]; then sleep 0.5; key; fi ;;
  esac
  case $line in
    *"$stop"*)
      hits=$((hits + 1))
      if [ $hits -eq $count ]; then sleep $settle; resources end; kill "$(cat "$work/pid")"; fi ;;
  esac
done < "$work/out"
kill $timer ${claims:-} 2>/dev/null
wait
rc=0
[ -e "$work/late" ] && rc=1
rm -rf "$work"
exit $rc
