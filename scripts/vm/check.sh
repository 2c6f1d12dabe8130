#!/usr/bin/env bash
# Judges one case of the VM test by what it left in its folder, or reports the figures:
#   check.sh CASE DIR           exit 0 when the case did what it should
#   check.sh figures VMDIR CASE...
set -uo pipefail

# Little-endian 32-bit words of a file: words FILE BYTE_OFFSET COUNT (decimal, one a line).
words() { od -An -v -tu4 -j "$2" -N $((4 * $3)) "$1" | tr -s ' ' '\n' | sed '/^$/d'; }
fails=0
fail() { echo "vm: $name: $*" >&2; fails=$((fails + 1)); }
expect_words() {  # FILE OFFSET "W1 W2 ..." WHAT
  local got
  got=$(words "$1" "$2" "$(wc -w <<< "$3")" | tr '\n' ' ')
  [[ "${got% }" == "$3" ]] || fail "$4: got ${got% }, want $3"
}
count() { grep -aoF -- "$2" "$1" | wc -l; }
same_as_reference() {  # [SED]: the reference as this case expects it
  if ! cmp -s "$dir/transcript.bin" <(sed "${1:-}" "$dir/reference.bin"); then
    fail "the transcript differs from the one against the simulator's socket (reference.bin${1:+, then $1}):"
    diff <(sed "${1:-}" "$dir/reference.bin" | od -c) <(od -c "$dir/transcript.bin") | head -20 >&2
  fi
}
# Requests in the trace with this command code (word 2) and, when given, this address (word 4).
requests() {
  awk -v c="$(printf '%08X' "$1")" -v a="${2:+$(printf '%08X' "$2")}" \
    '$1 == "OUT" && $5 == c && (a == "" || $7 == a) { n++ } END { print n + 0 }' "$dir/trace.txt"
}

# The kernel's log of the marks and the USB events, which init prints once the case ended.
klog_lines() { awk 'seen { sub(/\r$/, ""); print } /init: drive.sh ended/ { seen = 1 }' "${1:-$dir}/console.txt"; }

# One line per attempt that ran whole: its number, 1 when two busy loops ran during it, its
# page writes and their time in ms by the simulator's clock (from the first page's request
# to the request after the last page, where the simulator stamped its log), its exchanges
# (the trace's requests up to its overall version record, the identification read apart)
# and the updater's context switches over it: all its threads, its main thread, its event
# thread (the guest's marks before the key and after the asterisks).
attempt_figures() {
  local d=$1
  awk '
    FILENAME == ARGV[1] && /vx-mark resources before-attempt/ { k++; load[k] = 0; for (i = 1; i < NF; i++) b[$i] = $(i + 1) }
    FILENAME == ARGV[1] && /vx-mark load on/ { load[k] = 1 }
    FILENAME == ARGV[1] && /vx-mark resources after-attempt/ && k {
      for (i = 1; i < NF; i++) a[$i] = $(i + 1)
      sw[k] = a["switches"] - b["switches"]; ma[k] = a["main"] - b["main"]; ev[k] = a["events"] - b["events"]
    }
    FILENAME == ARGV[2] && $1 == "OUT" && $5 != "00000198" { n++ }
    FILENAME == ARGV[2] && $1 == "OUT" && $5 == "00000385" && $7 == "00001000" { ex[++x] = n; n = 0 }
    FILENAME == ARGV[3] { gsub(/[][]/, " ") }
    FILENAME == ARGV[3] && $1 == "sim" && / wrote [0-9]+ words at 0x8000\+0x0$/ { start = $2 }
    FILENAME == ARGV[3] && $1 == "sim" && / wrote [0-9]+ blocks of flash / && start { pages[++p] = $4; ms[p] = ($2 - start) * 1000; start = 0 }
    END { for (i = 1; i <= k; i++) if (i in sw) print i, load[i], pages[i] + 0, ms[i] + 0, ex[i] + 0, sw[i], ma[i], ev[i] }
  ' <(klog_lines "$d") "$d/trace.txt" "$d/sim.log"
}

if [[ $1 == figures ]]; then
  vm=$2
  shift 2
  echo "vm: figures by the guest's clock; under TCG the guest's code runs emulated, many times slower than natively"
  for name in "$@"; do
    console="$vm/$name/console.txt"
    [[ -f $console ]] || continue
    # Plug to prompt: the kernel's "new high-speed USB device" to the updater's prompt.
    klog_lines "$vm/$name" | awk -v name="$name" '
      { gsub(/[][]/, " "); t = $1 + 0 }
      /new high-speed USB device/ { plug = t }
      /vx-mark prompt/ && plug { printf "vm: %s: plug to \"Press any key to start download\": %.0f ms\n", name, (t - plug) * 1000; plug = 0 }'
    attempt_figures "$vm/$name" | awk -v name="$name" '{
      line = sprintf("vm: %s: attempt %d%s:", name, $1, $2 ? " (two busy loops)" : "")
      if ($3) line = line sprintf(" %d page writes in %.0f ms (%.2f ms each);", $3, $4, $4 / $3)
      if ($5) line = line sprintf(" %d exchanges, %d context switches (%.1f per exchange: main thread %.1f, event thread %.1f)", $5, $6, $6 / $5, $7 / $5, $8 / $5)
      else line = line sprintf(" %d context switches", $6)
      print line }'
    # The guest's clock against the host's, from the plug to QEMU's exit.
    if [[ -f "$vm/$name/host-clock.txt" ]]; then
      awk -v name="$name" '
        FNR == NR { host[$1] = $2; next }
        { gsub(/[][]/, " ") }
        /vx-mark ready/ { ready = $1 }
        /reboot: Power down/ { off = $1 }
        END {
          h = host["exit"] - host["ready"]
          if (ready && off && h > 0)
            printf "vm: %s: plug to power-off: %.2f s by the guest'"'"'s clock, %.2f s by the host'"'"'s (ratio %.2f)\n", name, off - ready, h, (off - ready) / h
        }' "$vm/$name/host-clock.txt" "$console"
    fi
  done
  exit 0
fi

name=$1 dir=$2
for f in transcript.bin trace.txt flash.bin eeprom.bin image.bin; do
  [[ -f "$dir/$f" ]] || fail "no $f"
done
((fails)) && exit 1

preamble=$'\nQUENBY VALTOR FIRMWARE UPDATER\n\n=================================================\nOverall Version 12\nmain.bin 3\n'
preamble+=$'\nConnect Valtor locator and switch on while holding the f and up buttons...\r\n'
cmp -s <(head -c ${#preamble} "$dir/transcript.bin") <(printf '%s' "$preamble") ||
  fail "the transcript does not begin with the start-up texts"
departure=$'\nKessan USB Device Disconnected\n\nConnect next locator and switch on while holding the f and up buttons\n'

# The image at 0x8000 (flash units, 2 bytes each), zero-padded to its page, the info block
# at 0x3000 (versions 12 and 3, the image's CRC and length) and the two records.
verified_image() {
  cmp -s <(head -c 256 <(cat "$dir/image.bin" /dev/zero)) <(tail -c +$((0x8000 * 2 + 1)) "$dir/flash.bin" | head -c 256) ||
    fail "flash at 0x8000 does not hold the image"
  expect_words "$dir/flash.bin" $((0x3000 * 2)) "12 3 $((0x94E889E8)) 128" "info block"
  expect_words "$dir/eeprom.bin" $((0x1010)) "7 $((0x1234)) 0 4" "image version record"
  expect_words "$dir/eeprom.bin" $((0x1000)) "1 12 0" "overall version record"
}
verified() {  # N: that many verified downloads
  [[ $(count "$dir/transcript.bin" "SUCCESS, Flash and Firmware File CRCs equal") == "$1" ]] || fail "not $1 verified downloads"
}
# Kernel-log seconds of the n-th line matching a pattern: klog N PATTERN
klog() { klog_lines | grep -a -- "$2" | sed -n "${1}p" | sed 's/^\[ *\([0-9.]*\)\].*/\1/'; }
# Only the main thread may run real-time (policy 1 or 2); every other at policy 0, nice 0.
threads_normal() {
  local bad
  bad=$(klog_lines | grep -a 'vx-mark thread' | awk '$0 ~ / main 0 / && !/ policy 0 nice 0$/')
  [[ -z $bad ]] || fail "threads above normal priority: $bad"
  klog_lines | grep -ac 'vx-mark thread .* main 0 ' > /dev/null || fail "no threads listed"
  if [[ $1 == rt ]]; then
    klog_lines | grep -ac 'vx-mark thread .* main 1 policy 2 ' > /dev/null || fail "the main thread does not run real-time"
  fi
}
resources_kept() {
  local start end
  start=$(klog_lines | grep -a 'vx-mark resources start' | grep -oE 'fds [0-9]+ threads [0-9]+')
  end=$(klog_lines | grep -a 'vx-mark resources end' | grep -oE 'fds [0-9]+ threads [0-9]+')
  [[ -n $start && $start == "$end" ]] || fail "open files and threads before ($start) and after ($end) differ"
}

case ${name#gadget-} in
  update | polling | coldplug)
    same_as_reference
    verified 1
    verified_image
    if [[ $name == coldplug ]]; then
      klog_lines | awk '/new high-speed USB device/ { plug = 1 } /vx-mark ready/ && !seen { seen = 1; ok = plug } END { exit !ok }' ||
        fail "the locator was not there before the updater"
    fi
    ;;
  unplug-erase)
    same_as_reference
    grep -aqF $'\nErasing Flash Sector : 0x3000\nError erasing sector 0x3000\nPrd1 file download failed - Error code = -2' \
      "$dir/transcript.bin" || fail "no failure of the info sector's erase"
    [[ $(requests 405) -ge 6 ]] || fail "fewer than six erase status requests"
    verified 2  # the image, in both attempts; the info block in the second
    verified_image
    ;;
  unplug-crc | unplug-crc-root)
    same_as_reference
    grep -aqF 'Communication error during Firmware Download' "$dir/transcript.bin" &&
      fail "a page failed: the unplug came before the CRC"
    cmp -s <(tail -c ${#departure} "$dir/transcript.bin") <(printf '%s' "$departure") ||
      fail "the departure is not reported last"
    gone=$(klog 1 'USB disconnect')
    ended=$(klog_lines | awk -v g="$gone" '{ gsub(/[][]/, " ") } /vx-mark attempt-end/ && $1 + 0 >= g + 0 { print $1; exit }')
    if [[ -z $gone || -z $ended ]]; then
      fail "no disconnect or no end of the attempt in the kernel log"
    else
      ms=$(awk -v a="$gone" -v b="$ended" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
      echo "vm: $name: the attempt ended $ms ms after the kernel's disconnect"
      ((ms <= 300)) || fail "the attempt ended $ms ms after the kernel's disconnect (more than 300)"
    fi
    threads_normal "$([[ $name == *-root ]] && echo rt || echo none)"
    ;;
  cycles | cycles-polling)
    same_as_reference
    [[ $(count "$dir/transcript.bin" "Kessan USB Device Connected") == 20 ]] || fail "not 20 arrivals"
    [[ $(count "$dir/transcript.bin" "Kessan USB Device Disconnected") == 20 ]] || fail "not 20 departures"
    order=$(grep -aoE 'Kessan USB Device (Connected|Disconnected)' "$dir/transcript.bin" | awk '{ printf "%s", substr($4, 1, 1) }')
    [[ $order == $(printf 'CD%.0s' $(seq 20)) ]] || fail "arrivals and departures do not alternate: $order"
    verified 3
    verified_image
    resources_kept
    threads_normal "$([[ $name == *-polling ]] && echo rt || echo none)"
    ;;
  other-device)
    rest=$(tail -c +$((${#preamble} + 1)) "$dir/transcript.bin" | grep -av '^[[:space:]]*$')
    [[ -z $rest ]] || fail "more than the start-up texts: $(printf '%q' "$rest")"
    [[ $(grep -c '^OUT' "$dir/trace.txt") == 0 ]] || fail "requests reached the device"
    claimed=$(klog_lines | grep -a 'vx-mark claimed' | sed 's/.*vx-mark //' | sort -u | tr '\n' ' ')
    [[ -z $claimed ]] || fail "an interface was claimed: $claimed"
    [[ $(klog_lines | grep -c "new high-speed USB device") == 2 ]] || fail "not two devices plugged"
    ;;
  faults)
    same_as_reference
    [[ $(count "$dir/transcript.bin" "Read from Flash Sector 0x3000 - failed, nRetCode = 55") == 2 ]] ||
      fail "not two failures with 55 (stall, babble)"
    [[ $(count "$dir/transcript.bin" "Read from Flash Sector 0x3000 - failed, nRetCode = 54") == 2 ]] ||
      fail "not two failures with 54 (silence, late answer)"
    # The halt is cleared after the stall and after the babble; the IN transfer that babbled
    # asked for a whole packet of the endpoint (512 bytes), not for the response's 96 bytes.
    [[ $(count "$dir/sim.log" "guest cleared the halt of endpoint 0x82") == 2 ]] ||
      fail "the IN endpoint's halt was not cleared after both the stall and the babble"
    grep -aqF "IN transfer of 512 bytes babbles" "$dir/sim.log" || fail "the IN transfer was not of whole packets"
    grep -aqF "a late response is ready after its IN transfer ended" "$dir/sim.log" || fail "no late answer"
    verified 1
    verified_image
    ;;
  load)
    same_as_reference
    verified 10
    cmp -s "$dir/image.bin" <(tail -c +$((0x8000 * 2 + 1)) "$dir/flash.bin" | head -c $((256 * 256))) ||
      fail "flash at 0x8000 does not hold the image"
    threads_normal rt
    # The page writes take no more than 10% longer with two busy loops running than without,
    # by the median of each kind of attempt (the host's other work strikes single attempts).
    verdict=$(attempt_figures "$dir" | awk '$3 == 256 { print $2, $4 }' | sort -k1,1n -k2,2n | awk '
      { t[$1, n[$1]++] = $2 }
      function median(k) { return n[k] % 2 ? t[k, (n[k] - 1) / 2] : (t[k, n[k] / 2 - 1] + t[k, n[k] / 2]) / 2 }
      END { if (n[0] && n[1]) printf "%.0f %.0f %.1f", median(0), median(1), median(1) / median(0) * 100 - 100 }')
    if [[ -z $verdict ]]; then
      fail "no page writes timed with and without the busy loops"
    else
      read -r quiet loaded more <<< "$verdict"
      echo "vm: load: 256 page writes in $quiet ms without load, $loaded ms with two busy loops ($more%; medians)"
      awk -v m="$more" 'BEGIN { exit !(m <= 10) }' || fail "the page writes take $more% longer with two busy loops"
    fi
    ;;
  unplug)
    # A gadget's controller has taken the request in before the locator goes (no device
    # can refuse a packet it has acknowledged): the host's OUT succeeds and what fails is
    # its IN, 55, or, when the updater has seen the departure first, the IN is not sent, 53;
    # not the short write 66 of a request that never arrived.
    if [[ $name == gadget-* ]]; then
      code=$(grep -aoE 'Error Code = [0-9]+,' "$dir/transcript.bin" | head -1 | grep -oE '[0-9]+')
      [[ $code == 53 || $code == 55 ]] || fail "link code ${code:-none}, not 53 or 55"
      same_as_reference "s/Error Code = 66,/Error Code = ${code:-55},/"
    else
      same_as_reference
    fi
    grep -aqF $'\nCommunication error during Firmware Download\nError Code = ' "$dir/transcript.bin" ||
      fail "no failure of the download"
    cmp -s <(tail -c ${#departure} "$dir/transcript.bin") <(printf '%s' "$departure") ||
      fail "the departure is not reported last"
    # Pages 0 to 39 reached the flash, page 40 did not.
    cmp -s <(head -c $((40 * 256)) "$dir/image.bin") <(tail -c +$((0x8000 * 2 + 1)) "$dir/flash.bin" | head -c $((40 * 256))) ||
      fail "flash does not hold pages 0 to 39"
    [[ $(tail -c +$((0x8000 * 2 + 40 * 256 + 1)) "$dir/flash.bin" | head -c 256 | od -An -v -tx1 | tr -d ' \n' | tr -d f) == "" ]] ||
      fail "page 40 was written"
    ;;
  line)
    same_as_reference
    [[ $(count "$dir/transcript.bin" "SUCCESS, Flash and Firmware File CRCs equal") == 2 ]] || fail "not two verified downloads"
    [[ $(count "$dir/transcript.bin" "Checksums match") == 2 ]] || fail "not two verified info blocks"
    [[ $(requests 901 0x1000) == 2 ]] || fail "not two overall version records in the trace"
    ;;
  permission)
    # One line of the backend's about the device it may not open; nothing else after the
    # start-up texts, and nothing sent to the locator.
    rest=$(tail -c +$((${#preamble} + 1)) "$dir/transcript.bin" | grep -av '^[[:space:]]*$')
    [[ $(wc -l <<< "$rest") == 1 && $rest == "Locator found (USB bus "*"may not open it"* ]] ||
      fail "not just one permission line after the start-up texts: $(printf '%q' "$rest")"
    [[ $(grep -c '^OUT' "$dir/trace.txt") == 0 ]] || fail "requests reached the locator"
    ;;
  *) fail "unknown case" ;;
esac
((fails == 0)) && echo "vm: $name: passed"
((fails == 0))
