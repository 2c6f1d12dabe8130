#!/bin/sh
# Runs the updater as an operator would for one case, in the guest and on the host alike:
#   drive.sh CASE TRANSCRIPT COMMAND...
# COMMAND starts the updater. Its standard output goes byte for byte to TRANSCRIPT and is
# watched line by line: a key is typed at the case's first prompts, and the updater is
# ended once the case's last expected text has come and the output has settled. With
# VX_MARK set (the guest's /dev/kmsg), the moments that the measurements need are written
# there, stamped by the kernel's clock. Exit status 1 when the case ran out of time.
set -u
name=$1 transcript=$2
shift 2
limit=90   # seconds for the whole case
settle=1   # seconds of quiet after the last expected text
case ${name#gadget-} in
  update | polling) keys=1 stop='************' count=1 ;;
  unplug) keys=1 stop='Connect next locator' count=1 ;;
  line) keys=2 stop='Press any key to start download' count=3 ;;
  permission) keys=0 stop='may not open it' count=1 settle=3 ;;
  *) echo "drive.sh: unknown case $name" >&2; exit 2 ;;
esac

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
prompts=0 hits=0
while IFS= read -r line; do
  case $line in *"Connect Valtor locator"*) mark ready ;; esac
  case $line in
    *"Press any key to start download"*)
      mark prompt
      prompts=$((prompts + 1))
      if [ $prompts -le $keys ]; then printf k >&3; fi ;;
  esac
  case $line in *"Pages To Flash"*) mark pages-start ;; esac
  case $line in .*) mark pages-end ;; esac  # the line of progress dots is complete
  case $line in
    *"$stop"*)
      hits=$((hits + 1))
      if [ $hits -eq $count ]; then sleep $settle; kill "$(cat "$work/pid")"; fi ;;
  esac
done < "$work/out"
kill $timer 2>/dev/null
wait
rc=0
[ -e "$work/late" ] && rc=1
rm -rf "$work"
exit $rc
